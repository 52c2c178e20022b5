#pragma once

// The seven settings kept between runs under HKEY_LOCAL_MACHINE\SOFTWARE\Oxwell\Quillon:
// their names, when each is written and how each is tested when read back.

#include "base/controls.h"
#include "registry/registry.h"

#include <string>

namespace quillon::settings {

// The value names, the one place they are spelled.
inline constexpr const char* kLeft = "Left";
inline constexpr const char* kTop = "Top";
inline constexpr const char* kFrequency = "Frequency";
inline constexpr const char* kSystemClock = "System Clock";
inline constexpr const char* kIpAddress = "IP Address";
inline constexpr const char* kDdsPrescaler = "DDS Prescaler";
inline constexpr const char* kRosaPrescaler = "Rosa Prescaler";

class PersistedSettings
{
public:
    struct Controls
    {
        Window& window;
        TextBox& txtFreq;
        TextBox& txtSysClk;
        TextBox& txtIP;
        ListBox& cmbDdsPrescaler;
        ListBox& cmbRosa;
    };

    // The settings in `registry`, which must outlive this.
    PersistedSettings(registry::Registry& registry, Controls controls);

    // Reads and tests each value and applies those that pass; each prescaler
    // list always takes a position, the saved one or 1.
    void restore();
    // Writes all seven values, in order; results are ignored. Left and Top
    // are left as stored where the window cannot know its position.
    void save();
    // Save one prescaler list's position, for the prescaler actions; the
    // result is ignored.
    void saveDdsPrescaler();
    void saveRosaPrescaler();

private:
    bool read(const char* name, std::string& text);
    void write(const char* name, const std::string& text);

    registry::Registry& m_registry;
    Controls m_c;
};

} // namespace quillon::settings
