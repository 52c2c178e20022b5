#include "settings/miscfunctions.h"

#include "quillon_version.h"

#include <array>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

namespace quillon::settings {

namespace reg = platform::registry;

namespace {

// STANDARD_RIGHTS_READ with all six specific key rights: query value, set
// value, create sub-key, enumerate sub-keys, notify and create link. Not
// KEY_READ: a key that grants only reading counts as missing.
constexpr std::uint32_t kReadAccess = 0x2003F;
constexpr std::size_t kReadLimit = 1024;

// The error each failing step of WriteSetting raises: E_UNEXPECTED.
constexpr std::int32_t kUnexpected = static_cast<std::int32_t>(0x8000FFFFu);

struct WriteFailure
{
    std::int32_t number = kUnexpected;
};

// The decimal text of a hexadecimal literal such as "&h00012C".
//
// A REG_DWORD reads as the unsigned value of its bytes: 0xFFFFFFFF gives
// "4294967295", not -1. The value is a DWORD, and the system never writes one
// itself, so the unsigned reading is the one that matches the registry
// editor's. The digits are converted exactly, however many a malformed
// REG_DWORD of more than four bytes brings.
std::string decimalOfHexLiteral(std::string_view literal)
{
    std::vector<std::uint8_t> decimal{0}; // least significant digit first
    for (const char c : literal.substr(2)) {
        unsigned carry = static_cast<unsigned>(c <= '9' ? c - '0' : c - 'A' + 10);
        for (std::uint8_t& digit : decimal) {
            const unsigned next = digit * 16u + carry;
            digit = static_cast<std::uint8_t>(next % 10);
            carry = next / 10;
        }
        while (carry != 0) {
            decimal.push_back(static_cast<std::uint8_t>(carry % 10));
            carry /= 10;
        }
    }
    while (decimal.size() > 1 && decimal.back() == 0)
        decimal.pop_back();
    std::string text;
    for (auto digit = decimal.rbegin(); digit != decimal.rend(); ++digit)
        text += static_cast<char>('0' + *digit);
    return text;
}

// The kept bytes of a REG_DWORD from the last to the first, that is most
// significant first, two upper-case hexadecimal digits each, behind "&h".
std::string dwordText(const std::uint8_t* bytes, std::size_t count)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string literal = "&h";
    for (std::size_t i = count; i > 0; --i) {
        literal += kDigits[bytes[i - 1] >> 4];
        literal += kDigits[bytes[i - 1] & 0xF];
    }
    return decimalOfHexLiteral(literal);
}

} // namespace

bool readSetting(reg::Registry& registry, Key& root, const std::string& keyPath,
                 const std::string& name, std::string& text)
{
    Key key = 0;
    bool opened = false;
    bool ok = false;
    try {
        // 1. Open the key; any non-zero result is a failure.
        if (registry.openKey(root, keyPath, 0, kReadAccess, key) == reg::Success) {
            opened = true;

            // 2. Query into a zero-filled buffer of 1024 bytes. A non-zero
            //    result (data over 1024 bytes included) or no data is a failure.
            std::array<std::uint8_t, kReadLimit> buffer{};
            buffer.fill(0);
            std::uint32_t size = kReadLimit;
            reg::ValueType type = reg::RegNone;
            const reg::Result result = registry.queryValue(key, name, &type, buffer.data(), &size);
            if (result == reg::Success && size != 0 && size <= kReadLimit) {
                // 3. Drop one terminator: only the byte at position size is
                //    examined; zero bytes inside the data stay.
                const std::size_t kept = buffer[size - 1] == 0 ? size - 1 : size;

                // 4. The text according to the type; any other type leaves the
                //    caller's text exactly as it was.
                if (type == reg::RegSz) {
                    text.assign(reinterpret_cast<const char*>(buffer.data()), kept);
                } else if (type == reg::RegDword) {
                    text = dwordText(buffer.data(), kept);
                }
                ok = true;
            }
        }
    } catch (...) {
        // The registry layer may throw (out of memory, a file system error);
        // ReadSetting reports that as any other failure.
        ok = false;
    }

    // 5. Close the key if step 1 opened it, on every path.
    if (opened) {
        try {
            registry.closeKey(key);
        } catch (...) {
        }
    }
    if (!ok)
        text.clear();
    return ok;
}

bool writeSetting(reg::Registry& registry, Key& root, const std::string& keyPath,
                  const std::string& name, const std::string& text)
{
    Key key = 0;
    bool open = false;
    // The routine's own error handler: each failing step raises E_UNEXPECTED,
    // and the handler turns it, or anything else the registry layer throws,
    // into false. Nothing reaches the caller.
    try {
        // 1. Create the key, or open it if it exists, with every missing level.
        std::uint32_t disposition = 0;
        if (registry.createKey(root, keyPath, reg::OptionNonVolatile, reg::KeyAllAccess, key,
                               &disposition) != reg::Success)
            throw WriteFailure{};
        open = true;

        // 2. Set the value: REG_SZ, the text's n bytes and no terminator.
        if (text.size() > std::numeric_limits<std::uint32_t>::max()) {
            open = false;
            registry.closeKey(key);
            throw WriteFailure{};
        }
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
        if (registry.setValue(key, name, reg::RegSz, bytes,
                              static_cast<std::uint32_t>(text.size())) != reg::Success) {
            open = false;
            registry.closeKey(key);
            throw WriteFailure{};
        }

        // 3. Close the key.
        open = false;
        registry.closeKey(key);
        return true;
    } catch (...) {
        if (open) {
            try {
                registry.closeKey(key);
            } catch (...) {
            }
        }
        return false;
    }
}

namespace MiscFunctions {

bool ReadSetting(Key& root, const std::string& keyPath, const std::string& name, std::string& text)
{
    return readSetting(reg::defaultRegistry(), root, keyPath, name, text);
}

bool WriteSetting(Key& root, const std::string& keyPath, const std::string& name,
                  const std::string& text)
{
    return writeSetting(reg::defaultRegistry(), root, keyPath, name, text);
}

std::string VersionText()
{
    return "Rev:" + std::to_string(version::major) + "." + std::to_string(version::minor) + "." +
           std::to_string(version::revision);
}

} // namespace MiscFunctions

} // namespace quillon::settings
