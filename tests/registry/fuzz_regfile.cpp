// libFuzzer target for the hive parser: any bytes may sit in the hive file, an
// operator's edits and a broken disk included. Whatever parses, with or
// without skipped lines, must format to text that parses whole to the same
// hive, and formatting that again changes nothing.

#include "registry/hivetext_p.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace quillon::registry;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const HiveParseResult parsed = parseHive(text);
    if (!parsed.ok)
        return 0;

    const std::string formatted = formatHive(parsed.hive);
    if (formatted.size() > kMaxHiveBytes)
        return 0; // a write refuses to store this
    const HiveParseResult again = parseHive(formatted);
    if (!again.ok || !again.skipped.empty() || !(again.hive == parsed.hive))
        std::abort();
    if (formatHive(again.hive) != formatted)
        std::abort();
    return 0;
}
