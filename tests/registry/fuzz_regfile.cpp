// libFuzzer target for the settings file parser: any bytes may sit in the settings file, an
// operator's edits and a broken disk included. Whatever parses, with or
// without skipped lines, must format to text that parses whole to the same
// model, and formatting that again changes nothing.

#include "registry/regfiletext_p.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace quillon::registry;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const RegFileParseResult parsed = parseRegFile(text);
    if (!parsed.ok)
        return 0;

    const std::string formatted = formatRegFile(parsed.regFile);
    if (formatted.size() > kMaxRegFileBytes)
        return 0; // a write refuses to store this
    const RegFileParseResult again = parseRegFile(formatted);
    if (!again.ok || !again.skipped.empty() || !(again.regFile == parsed.regFile))
        std::abort();
    if (formatRegFile(again.regFile) != formatted)
        std::abort();
    return 0;
}
