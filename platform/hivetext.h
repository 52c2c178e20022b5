#pragma once

// The hive's text form: REGEDIT4 parsed into a hive and a hive formatted back
// into REGEDIT4. Bytes in, bytes out; the file itself is hivefile.h's.
//
// An operator can read, back up or edit the text with any text editor:
//
//     REGEDIT4
//
//     [HKEY_LOCAL_MACHINE\SOFTWARE\Oxwell\Quillon]
//     "Left"="1200"
//     "Count"=dword:0000012c
//     "Blob"=hex:01,02,03
//     "Odd"=hex(1):41,00,42
//
// Two differences from what the Windows registry editor writes: a quoted string
// holds exactly its bytes, with no implied terminating zero, and string data
// that the quoted form cannot carry (a zero byte, a line break or another
// control character, bytes that are not UTF-8) is written as hex(1):. Reading
// a value back yields exactly the type and the bytes that were written.

#include "platform/hive.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace quillon::platform::registry {

// A hive text larger than this is not one of ours: it counts as unparseable.
inline constexpr std::size_t kMaxHiveBytes = 1024 * 1024;

struct HiveParseResult
{
    bool ok = false;
    Hive hive;
    std::size_t line = 0; // where parsing stopped, counting from 1; 0 for the text as a whole
    std::string error;
};

// Parses hive text. Anything that is not fully understood fails: a file that
// parses only in part is never rewritten from the part we understood.
HiveParseResult parseHive(std::string_view text);
// The text of a hive; parseHive gives the same hive back.
std::string formatHive(const Hive& hive);

} // namespace quillon::platform::registry
