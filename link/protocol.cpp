#include "link/protocol.h"

namespace quillon::link {

namespace {
struct CommandInfo
{
    std::uint8_t code;
    std::size_t length;
    std::string_view name;
};

constexpr std::array<CommandInfo, 11> kCommands{{
    {command::Heartbeat, 1, "Heartbeat"},
    {command::ConnectA0, 2, "ConnectA0"},
    {command::ApplyUpdate, 1, "ApplyUpdate"},
    {command::SelectSlot, 2, "SelectSlot"},
    {command::SetTuningWord, 6, "SetTuningWord"},
    {command::ConnectA6, 2, "ConnectA6"},
    {command::SetOffsetSign, 2, "SetOffsetSign"},
    {command::SetDdsPrescaler, 2, "SetDdsPrescaler"},
    {command::SetChargePumpCurrents, 3, "SetChargePumpCurrents"},
    {command::ConnectAF, 2, "ConnectAF"},
    {command::SetRosaPrescaler, 2, "SetRosaPrescaler"},
}};

const CommandInfo* find(std::uint8_t code)
{
    for (const auto& info : kCommands) {
        if (info.code == code)
            return &info;
    }
    return nullptr;
}
} // namespace

std::optional<std::size_t> messageLength(std::uint8_t command)
{
    if (const auto* info = find(command))
        return info->length;
    return std::nullopt;
}

std::string_view commandName(std::uint8_t command)
{
    const auto* info = find(command);
    return info ? info->name : std::string_view();
}

std::string describeMessage(std::span<const std::uint8_t> bytes)
{
    static constexpr std::string_view kHex = "0123456789ABCDEF";
    std::string text;
    for (const std::uint8_t byte : bytes) {
        if (!text.empty())
            text += ' ';
        text += kHex[byte >> 4];
        text += kHex[byte & 0xF];
    }
    const std::string_view name = bytes.empty() ? std::string_view() : commandName(bytes[0]);
    return text + ' ' + std::string(name.empty() ? "(unknown command)" : name);
}

Message heartbeat()
{
    return {command::Heartbeat};
}
Message connectA0()
{
    return {command::ConnectA0, 0x01};
}
Message connectA6()
{
    return {command::ConnectA6, 0x03};
}
Message connectAF()
{
    return {command::ConnectAF, 0x01};
}
Message applyUpdate()
{
    return {command::ApplyUpdate};
}
Message selectSlot(std::uint8_t slot)
{
    return {command::SelectSlot, slot};
}

Message setTuningWord(std::uint8_t slot, std::uint32_t word)
{
    return {command::SetTuningWord,
            slot,
            static_cast<std::uint8_t>(word & 0xFF),
            static_cast<std::uint8_t>((word >> 8) & 0xFF),
            static_cast<std::uint8_t>((word >> 16) & 0xFF),
            static_cast<std::uint8_t>((word >> 24) & 0xFF)};
}

Message setOffsetSign(std::uint8_t sign)
{
    return {command::SetOffsetSign, sign};
}
Message setDdsPrescaler(std::uint8_t divider)
{
    return {command::SetDdsPrescaler, divider};
}
Message setRosaPrescaler(std::uint8_t index)
{
    return {command::SetRosaPrescaler, index};
}

std::uint8_t chargePumpCode(int wideLock, int finalLock, int freqDetect)
{
    int code = wideLock;
    if (finalLock > 0)
        code += (finalLock + 3) * 8;
    code += freqDetect * 64;
    return static_cast<std::uint8_t>(code & 0xFF);
}

Message setChargePumpCurrents(int wideLock, int finalLock, int freqDetect)
{
    return {command::SetChargePumpCurrents, chargePumpCode(wideLock, finalLock, freqDetect), 0x00};
}

} // namespace quillon::link
