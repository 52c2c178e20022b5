#include "sim/instrument.h"

#include "link/protocol.h"

#include <cstdio>

namespace quillon::sim {

namespace cmd = link::command;

namespace {

std::string format(const char* pattern, auto... args)
{
    char buffer[256];
    const int n = std::snprintf(buffer, sizeof buffer, pattern, args...);
    return std::string(buffer, n < 0 ? 0 : std::min<std::size_t>(n, sizeof buffer - 1));
}

std::uint32_t wordOf(const std::vector<std::uint8_t>& m)
{
    return static_cast<std::uint32_t>(m[2]) | static_cast<std::uint32_t>(m[3]) << 8 |
           static_cast<std::uint32_t>(m[4]) << 16 | static_cast<std::uint32_t>(m[5]) << 24;
}

const char* const kWideLock[] = {"OFF", "X2", "X4", "X6", "X8", "X10", "X12", "X14"};
const char* const kFreqDetect[] = {"OFF", "X20", "X40", "X60"};
const int kRosaDividers[] = {8, 16, 32, 64};

std::string rosaText(int index)
{
    if (index >= 0 && index < 4)
        return format("index %d (divider %d)", index, kRosaDividers[index]);
    return format("index %d (no such entry)", index);
}

std::string fixedArgument(std::uint8_t value, std::uint8_t expected)
{
    if (value == expected)
        return format("arg 0x%02X", value);
    return format("arg 0x%02X (the panel only ever sends 0x%02X)", value, expected);
}

} // namespace

std::string chargePumpLevels(std::uint8_t code)
{
    const int wide = code & 0x07;
    const int finalBits = (code >> 3) & 0x07;
    const int detect = (code >> 6) & 0x03;
    std::string finalText;
    if (finalBits == 0)
        finalText = "OFF";
    else if (finalBits >= 4)
        finalText = format("X%d", finalBits - 3);
    else
        finalText = format("invalid (%d)", finalBits);
    return format("Freq. Detect %s, Wide Lock %s, Final Lock %s", kFreqDetect[detect],
                  kWideLock[wide], finalText.c_str());
}

std::vector<Received> Instrument::feed(std::span<const std::uint8_t> bytes, double ms)
{
    std::vector<Received> out;
    feed(bytes, ms, [&out](const Received& message) { out.push_back(message); });
    return out;
}

void Instrument::feed(std::span<const std::uint8_t> bytes, double ms,
                      const std::function<void(const Received&)>& each)
{
    m_pending.insert(m_pending.end(), bytes.begin(), bytes.end());
    std::size_t at = 0;
    while (at < m_pending.size()) {
        const auto length = link::messageLength(m_pending[at]);
        if (!length) {
            // The command byte alone says where a message ends, so after an
            // unknown one the best guess is that the next byte starts one.
            ++m_state.unknownBytes;
            each({ms, {m_pending[at]}, false});
            ++at;
            continue;
        }
        if (m_pending.size() - at < *length)
            break;
        const Received message{ms,
                               {m_pending.begin() + static_cast<std::ptrdiff_t>(at),
                                m_pending.begin() + static_cast<std::ptrdiff_t>(at + *length)}};
        apply(message.bytes);
        each(message);
        at += *length;
    }
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(at));
}

std::vector<std::uint8_t> Instrument::takePending()
{
    std::vector<std::uint8_t> pending;
    pending.swap(m_pending);
    return pending;
}

void Instrument::apply(const std::vector<std::uint8_t>& m)
{
    ++m_state.messages;
    switch (m[0]) {
    case cmd::Heartbeat:
        ++m_state.heartbeats;
        break;
    case cmd::ApplyUpdate:
        ++m_state.applies;
        break;
    case cmd::SelectSlot:
        m_state.activeSlot = m[1];
        break;
    case cmd::SetTuningWord:
        if (m[1] < m_state.slotWords.size())
            m_state.slotWords[m[1]] = wordOf(m);
        break;
    case cmd::SetOffsetSign:
        m_state.offsetSign = m[1];
        break;
    case cmd::SetDdsPrescaler:
        m_state.ddsDivider = m[1];
        break;
    case cmd::SetChargePumpCurrents:
        m_state.chargePumpCode = m[1];
        break;
    case cmd::SetRosaPrescaler:
        m_state.rosaIndex = m[1];
        break;
    default:
        break;
    }
}

double Instrument::ddsFrequencyMHz(std::uint32_t word) const
{
    return static_cast<double>(word) * m_systemClockMHz / 4294967296.0;
}

std::string Instrument::hex(std::span<const std::uint8_t> bytes)
{
    std::string text;
    for (const std::uint8_t b : bytes) {
        if (!text.empty())
            text += ' ';
        text += format("%02X", b);
    }
    return text;
}

std::string Instrument::describe(const Received& message) const
{
    const auto& m = message.bytes;
    if (!message.known)
        return format("unknown command byte 0x%02X, skipped", m[0]);
    std::string text(link::commandName(m[0]));
    std::string args;
    switch (m[0]) {
    case cmd::ConnectA0:
        args = fixedArgument(m[1], 0x01);
        break;
    case cmd::ConnectA6:
        args = fixedArgument(m[1], 0x03);
        break;
    case cmd::ConnectAF:
        args = fixedArgument(m[1], 0x01);
        break;
    case cmd::SelectSlot:
        args = format(m[1] <= 1 ? "slot %d" : "slot %d (no such slot)", m[1]);
        break;
    case cmd::SetTuningWord: {
        const std::uint32_t word = wordOf(m);
        args = format("slot %d%s, word %lu (0x%08lX) = %.6f MHz at %g MHz", m[1],
                      m[1] <= 1 ? "" : " (no such slot)", static_cast<unsigned long>(word),
                      static_cast<unsigned long>(word), ddsFrequencyMHz(word), m_systemClockMHz);
        break;
    }
    case cmd::SetOffsetSign:
        args = m[1] == 0   ? "sign 0 (offset above zero)"
               : m[1] == 1 ? "sign 1 (offset zero or below)"
                           : format("sign %d (not 0 or 1)", m[1]);
        break;
    case cmd::SetDdsPrescaler:
        args = format(m[1] == 1 || m[1] == 2 || m[1] == 4 ? "divider %d"
                                                          : "divider %d (not 1, 2 or 4)",
                      m[1]);
        break;
    case cmd::SetRosaPrescaler:
        args = rosaText(m[1]);
        break;
    case cmd::SetChargePumpCurrents:
        args = format("code 0x%02X: %s", m[1], chargePumpLevels(m[1]).c_str());
        if (m[2] != 0)
            args += format(", second byte 0x%02X (the panel only ever sends 0x00)", m[2]);
        break;
    default:
        break;
    }
    if (!args.empty())
        text += "  " + args;
    return text;
}

std::string Instrument::stateText() const
{
    const InstrumentState& s = m_state;
    std::string text = "state:";
    for (std::size_t slot = 0; slot < s.slotWords.size(); ++slot) {
        if (const auto& word = s.slotWords[slot])
            text += format(" slot %zu word %lu (0x%08lX, %.6f MHz);", slot,
                           static_cast<unsigned long>(*word), static_cast<unsigned long>(*word),
                           ddsFrequencyMHz(*word));
        else
            text += format(" slot %zu word unset;", slot);
    }
    text += s.activeSlot ? format(" active slot %d;", *s.activeSlot) : " active slot unset;";
    text += s.ddsDivider ? format(" DDS divider %d;", *s.ddsDivider) : " DDS divider unset;";
    text += s.rosaIndex ? " ROSA " + rosaText(*s.rosaIndex) + ";" : " ROSA unset;";
    text += s.chargePumpCode ? format(" charge pump 0x%02X (%s);", *s.chargePumpCode,
                                      chargePumpLevels(*s.chargePumpCode).c_str())
                             : " charge pump unset;";
    text += s.offsetSign ? format(" offset sign %d;", *s.offsetSign) : " offset sign unset;";
    text += format(" messages %ld, heartbeats %ld, applies %ld, unknown bytes %ld", s.messages,
                   s.heartbeats, s.applies, s.unknownBytes);
    return text;
}

} // namespace quillon::sim
