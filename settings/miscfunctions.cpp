// ReadSetting and WriteSetting, each as its list of steps, and VersionText.
// The registry they run over is the caller's.

#include "settings/miscfunctions.h"

#include "quillon_version.h"
#include "settings/local8bit.h"

#include <array>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

namespace quillon::settings {

namespace reg = quillon::registry;

namespace {

// STANDARD_RIGHTS_READ with all six specific key rights: query value, set
// value, create sub-key, enumerate sub-keys, notify and create link. Not
// KEY_READ: a key that grants only reading counts as missing.
constexpr std::uint32_t kReadAccess = 0x2003F;
constexpr std::size_t kReadLimit = 1024;

// A key the routine opened, closed exactly once when the routine returns,
// whichever way it does.
class ClosedOnReturn
{
public:
    ClosedOnReturn(Registry& registry, Key key) : m_registry(registry), m_key(key) {}
    ~ClosedOnReturn() { m_registry.closeKey(m_key); }
    ClosedOnReturn(const ClosedOnReturn&) = delete;
    ClosedOnReturn& operator=(const ClosedOnReturn&) = delete;

private:
    Registry& m_registry;
    Key m_key;
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

namespace MiscFunctions {

bool ReadSetting(Registry& registry, Key root, const std::string& keyPath, const std::string& name,
                 std::string& text)
{
    const auto failed = [&text] {
        text.clear();
        return false;
    };

    // Every key path, value name and text crosses into the registry in the
    // local 8-bit encoding, and comes back from it.

    // 1. Open the key; any non-zero result is a failure.
    Key handle = 0;
    if (registry.openKey(root, toLocal8Bit(keyPath), 0, kReadAccess, handle) != reg::Success)
        return failed();
    const ClosedOnReturn key(registry, handle); // 5. closed on every path from here

    // 2. Query into a zero-filled buffer of 1024 bytes. A non-zero result
    //    (data over 1024 bytes included) or no data is a failure.
    std::array<std::uint8_t, kReadLimit> buffer{};
    std::uint32_t size = kReadLimit;
    reg::ValueType type = reg::RegNone;
    if (registry.queryValue(handle, toLocal8Bit(name), &type, buffer.data(), &size) !=
            reg::Success ||
        size == 0 || size > kReadLimit)
        return failed();

    // 3. Drop one terminator: only the byte at position size is examined;
    //    zero bytes inside the data stay.
    const std::size_t kept = buffer[size - 1] == 0 ? size - 1 : size;

    // 4. The text according to the type; any other type leaves the caller's
    //    text exactly as it was.
    if (type == reg::RegSz)
        text = fromLocal8Bit(std::string_view(reinterpret_cast<const char*>(buffer.data()), kept));
    else if (type == reg::RegDword)
        text = dwordText(buffer.data(), kept);
    return true;
}

bool WriteSetting(Registry& registry, Key root, const std::string& keyPath, const std::string& name,
                  const std::string& text)
{
    // The registry reports its failures as results, so each failing step is
    // simply false here, and nothing reaches the caller.

    // 1. Create the key, or open it if it exists, with every missing level.
    Key handle = 0;
    std::uint32_t disposition = 0;
    if (registry.createKey(root, toLocal8Bit(keyPath), reg::OptionNonVolatile, reg::KeyAllAccess,
                           handle, &disposition) != reg::Success)
        return false;
    const ClosedOnReturn key(registry, handle); // 3. closed exactly once, on every path

    // 2. Set the value: REG_SZ, the n bytes of the text in the local 8-bit
    //    encoding and no terminator.
    const std::string bytes = toLocal8Bit(text);
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max())
        return false;
    return registry.setValue(handle, toLocal8Bit(name), reg::RegSz,
                             reinterpret_cast<const std::uint8_t*>(bytes.data()),
                             static_cast<std::uint32_t>(bytes.size())) == reg::Success;
}

std::string VersionText()
{
    return "Rev:" + std::to_string(version::major) + "." + std::to_string(version::minor) + "." +
           std::to_string(version::revision);
}

} // namespace MiscFunctions

} // namespace quillon::settings
