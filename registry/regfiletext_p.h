#pragma once

// The settings file's text form: REGEDIT4 parsed into a model and a model formatted back
// into REGEDIT4. Bytes in, bytes out; the file itself is regfilestore.h's.
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
// Quoted bytes that are not UTF-8, as a Windows editor saves an ANSI "°",
// read as those bytes.

#include "registry/regfile.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::registry {

// A settings text larger than this is not one of ours: it holds no values at all.
inline constexpr std::size_t kMaxRegFileBytes = 1024 * 1024;

// A line the parser could not read: it is left out, and the rest counts.
struct SkippedLine
{
    std::size_t line = 0; // counting from 1
    std::string what;     // "skipped: " and why

    bool operator==(const SkippedLine&) const = default;
};

struct RegFileParseResult
{
    bool ok = false; // false: no values at all, no REGEDIT4 header or over the size limit
    RegFile regFile;
    std::size_t line = 0; // when not ok: where, counting from 1; 0 for the text as a whole
    std::string error;    // when not ok: why
    std::vector<SkippedLine> skipped; // the lines left out, in order
};

// Parses settings file text, skipping and listing the lines that registry/README.md
// says are skipped.
RegFileParseResult parseRegFile(std::string_view text);
// The text of a model; parseRegFile gives the same model back.
std::string formatRegFile(const RegFile& regFile);

} // namespace quillon::registry
