#pragma once

// The seven settings kept between runs under HKEY_LOCAL_MACHINE\SOFTWARE\Oxwell\Quillon:
// Left, Top, Frequency, System Clock, IP Address, DDS Prescaler, Rosa Prescaler.

#include "platform/controls.h"

namespace quillon::settings {

class PersistedSettings
{
public:
    struct Controls
    {
        platform::Window& window;
        platform::TextBox& txtFreq;
        platform::TextBox& txtSysClk;
        platform::TextBox& txtIP;
        platform::ListBox& cmbDdsPrescaler;
        platform::ListBox& cmbRosa;
    };

    explicit PersistedSettings(Controls controls);

    // Reads and tests each value and applies those that pass; each prescaler
    // list always takes a position, the saved one or 1.
    void restore();
    // Writes all seven values, in order; results are ignored. Left and Top
    // are left as stored where the window cannot know its position.
    void save();
    // Saves one prescaler choice ("DDS Prescaler" or "Rosa Prescaler").
    static void savePrescaler(const std::string& name, const std::string& text);

private:
    Controls m_c;
};

} // namespace quillon::settings
