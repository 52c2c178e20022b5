// The conversion between UTF-8 and the local 8-bit encoding: through UTF-16
// with the ANSI code page on Windows, none elsewhere.

#include "settings/local8bit.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <climits>
#endif

namespace quillon::settings {

#ifdef _WIN32

namespace {

// `bytes` from code page `from` to code page `to`, through UTF-16.
std::string convert(std::string_view bytes, UINT from, UINT to)
{
    if (bytes.empty() || bytes.size() > INT_MAX)
        return {};
    const int length = static_cast<int>(bytes.size());
    const int wide = MultiByteToWideChar(from, 0, bytes.data(), length, nullptr, 0);
    std::wstring utf16(static_cast<std::size_t>(wide), L'\0');
    MultiByteToWideChar(from, 0, bytes.data(), length, utf16.data(), wide);
    const int narrow = WideCharToMultiByte(to, 0, utf16.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(narrow), '\0');
    WideCharToMultiByte(to, 0, utf16.data(), wide, out.data(), narrow, nullptr, nullptr);
    return out;
}

} // namespace

std::string toLocal8Bit(std::string_view text)
{
    return convert(text, CP_UTF8, CP_ACP);
}

std::string fromLocal8Bit(std::string_view bytes)
{
    return convert(bytes, CP_ACP, CP_UTF8);
}

#else

std::string toLocal8Bit(std::string_view text)
{
    return std::string(text);
}

std::string fromLocal8Bit(std::string_view bytes)
{
    return std::string(bytes);
}

#endif

} // namespace quillon::settings
