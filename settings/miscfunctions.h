#pragma once

// The settings routines: one text value read or written under a registry key,
// the key opened and closed within each call. They know nothing of particular
// settings; persistedsettings.h does.

#include "registry/registry.h"

#include <string>

namespace quillon::settings {

using registry::Key;
using registry::Registry;

inline constexpr const char* kSettingsKey = "SOFTWARE\\Oxwell\\Quillon";

namespace MiscFunctions {

// The root is passed by value: neither routine ever changes it, so a caller
// cannot tell the difference from a variable passed by reference.

// Reads the value `name` under `keyPath` of `registry` into `text`. True when
// it was read; when false, `text` is the empty text. A REG_DWORD reads as its
// decimal text; a value of any other non-string type reads as success and
// leaves `text` as the caller passed it.
bool ReadSetting(Registry& registry, Key root, const std::string& keyPath, const std::string& name,
                 std::string& text);
// Writes `text` as a REG_SZ value without a terminator, creating every missing
// level of the key. True when written; a failure of the registry is false.
bool WriteSetting(Registry& registry, Key root, const std::string& keyPath, const std::string& name,
                  const std::string& text);
// "Rev:" and the version, such as "Rev:1.0.8".
std::string VersionText();

} // namespace MiscFunctions

} // namespace quillon::settings
