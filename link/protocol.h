#pragma once

// The instrument's command protocol: short binary messages written to one TCP
// stream, a command byte followed by a fixed number of argument bytes, with no
// framing, checksum or acknowledgement. Multi-byte values go least significant
// byte first. The panel only ever sends; bytes from the instrument are a sign of
// life and are never parsed.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::link {

using Message = std::vector<std::uint8_t>;

namespace command {
inline constexpr std::uint8_t Heartbeat = 0x7F;
inline constexpr std::uint8_t ConnectA0 = 0xA0;
inline constexpr std::uint8_t ApplyUpdate = 0xA2;
inline constexpr std::uint8_t SelectSlot = 0xA3;
inline constexpr std::uint8_t SetTuningWord = 0xA5;
inline constexpr std::uint8_t ConnectA6 = 0xA6;
inline constexpr std::uint8_t SetOffsetSign = 0xA7;
inline constexpr std::uint8_t SetDdsPrescaler = 0xA8;
inline constexpr std::uint8_t SetChargePumpCurrents = 0xA9;
inline constexpr std::uint8_t ConnectAF = 0xAF;
inline constexpr std::uint8_t SetRosaPrescaler = 0xB0;
} // namespace command

// The fixed total length of the message that starts with `command`, or nothing
// for a byte that starts no message. The command byte alone tells where a
// message ends; the simulator splits the stream with this.
std::optional<std::size_t> messageLength(std::uint8_t command);
// The command's name as the protocol calls it ("SetTuningWord"), or "" when unknown.
std::string_view commandName(std::uint8_t command);
// One message as the trace shows it: "A5 00 55 55 D5 14 SetTuningWord".
std::string describeMessage(std::span<const std::uint8_t> bytes);

Message heartbeat();
Message connectA0(); // A0 01
Message connectA6(); // A6 03
Message connectAF(); // AF 01
Message applyUpdate();
Message selectSlot(std::uint8_t slot);
Message setTuningWord(std::uint8_t slot, std::uint32_t word);
// Sign byte 0 for a requested offset above zero, 1 otherwise.
Message setOffsetSign(std::uint8_t sign);
// The divider itself: 1, 2 or 4.
Message setDdsPrescaler(std::uint8_t divider);
// The ROSA list position: 0 ("÷8") to 3 ("÷64").
Message setRosaPrescaler(std::uint8_t index);
// The three charge-pump list positions, counted from 0.
Message setChargePumpCurrents(int wideLock, int finalLock, int freqDetect);
// The packed charge-pump code: Wide Lock in bits 0-2, Final Lock (+3 when on)
// in bits 3-5, Freq. Detect in bits 6-7.
std::uint8_t chargePumpCode(int wideLock, int finalLock, int freqDetect);

// Where every message goes: one write to the link. Throws quillon::Failure when
// the link is not connected.
class Sender
{
public:
    virtual ~Sender() = default;
    virtual void send(const Message& message) = 0;
    // See SendBatch.
    virtual void holdSends() {}
    virtual void releaseSends() {}
};

// While it lives, the messages sent wait and then leave together, in their
// order, in one write: a handler's messages reach the instrument as one
// segment instead of one each, and none of them is held past the handler.
// A failing send in between still lets the ones before it go.
class SendBatch
{
public:
    explicit SendBatch(Sender& sender) : m_sender(sender) { m_sender.holdSends(); }
    ~SendBatch() { m_sender.releaseSends(); }
    SendBatch(const SendBatch&) = delete;
    SendBatch& operator=(const SendBatch&) = delete;

private:
    Sender& m_sender;
};

} // namespace quillon::link
