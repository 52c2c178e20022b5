#pragma once

// The simulator's picture of the instrument: it splits the byte stream the
// panel sends into messages by their fixed lengths, decodes each into a line
// a person can read, and keeps the state those messages set. Qt-free, so the
// decoding is tested on its own.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quillon::sim {

// One message as received, or one byte that starts no known message.
struct Received
{
    double ms = 0; // arrival of the read that completed it, since the start
    std::vector<std::uint8_t> bytes;
    bool known = true;
};

// What the instrument holds after the messages it has received so far.
struct InstrumentState
{
    std::array<std::optional<std::uint32_t>, 2> slotWords;
    std::optional<int> activeSlot;
    std::optional<int> ddsDivider;
    std::optional<int> rosaIndex;
    std::optional<std::uint8_t> chargePumpCode;
    std::optional<int> offsetSign;
    long messages = 0;
    long heartbeats = 0;
    long applies = 0;
    long unknownBytes = 0;
};

class Instrument
{
public:
    explicit Instrument(double systemClockMHz = 983.04) : m_systemClockMHz(systemClockMHz) {}

    // Takes the bytes of one read, which arrived at `ms`, and returns the
    // messages it completed, in order; an unknown byte comes back alone with
    // `known` false and is otherwise skipped. A message cut between reads is
    // held until its last byte comes.
    std::vector<Received> feed(std::span<const std::uint8_t> bytes, double ms);
    // The same, handing each message to `each` as soon as the state holds
    // what it set, so that the state can be shown message by message.
    void feed(std::span<const std::uint8_t> bytes, double ms,
              const std::function<void(const Received&)>& each);
    // The bytes of a message cut short by the end of a connection; the next
    // connection starts afresh.
    std::vector<std::uint8_t> takePending();

    const InstrumentState& state() const { return m_state; }
    double systemClockMHz() const { return m_systemClockMHz; }

    // "A5 00 AB AA 42 00"
    static std::string hex(std::span<const std::uint8_t> bytes);
    // The command's name and its decoded arguments, e.g.
    // "SetRosaPrescaler  index 1 (divider 16)".
    std::string describe(const Received& message) const;
    // The whole state on one line, starting "state: ".
    std::string stateText() const;
    // The DDS output frequency in MHz that a tuning word means at the
    // simulator's system clock.
    double ddsFrequencyMHz(std::uint32_t word) const;

private:
    void apply(const std::vector<std::uint8_t>& message);

    double m_systemClockMHz;
    std::vector<std::uint8_t> m_pending;
    InstrumentState m_state;
};

// Names of the charge-pump levels that a code packs, e.g.
// "Freq. Detect X20, Wide Lock X2, Final Lock X1".
std::string chargePumpLevels(std::uint8_t code);

} // namespace quillon::sim
