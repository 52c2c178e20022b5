#pragma once

// Texts between the program's own form (UTF-8) and the bytes of the settings
// store: the platform's local 8-bit encoding, as the registry's entry points take it.

#include <string>
#include <string_view>

namespace quillon::settings {

// The bytes of `text` in the local 8-bit encoding: the system's ANSI code
// page on Windows, where a character it cannot hold becomes what Windows
// makes of it ("?" mostly); elsewhere the locale's encoding, which is UTF-8
// in practice, as Qt itself takes it to be on Unix, so the bytes are the
// text's own.
std::string toLocal8Bit(std::string_view text);
// The text of bytes in the local 8-bit encoding.
std::string fromLocal8Bit(std::string_view bytes);

} // namespace quillon::settings
