#pragma once

// The DDS and ROSA prescaler actions, the charge-pump Update and the
// laser-offset readout.

#include "link/protocol.h"
#include "platform/controls.h"

#include <functional>
#include <string>

namespace quillon::tuning {

class Prescalers
{
public:
    struct Controls
    {
        platform::ListBox& cmbDdsPrescaler;
        platform::ListBox& cmbRosa;
        const platform::ListBox& cmbFreqDet;
        const platform::ListBox& cmbWideLock;
        const platform::ListBox& cmbFinalLock;
        const platform::TextBox& txtFreq;
        platform::Label& lblLaserFreq;
    };

    // Saves one prescaler choice: value name ("DDS Prescaler" or
    // "Rosa Prescaler") and text. Its result is ignored.
    using SaveSetting = std::function<void(const std::string& name, const std::string& text)>;

    Prescalers(Controls controls, link::Sender& sender, SaveSetting save);

    void cmbDdsPrescaler_Click();
    void cmbRosa_Click();
    void cmdUpdateCP_Click();
    void txtFreq_Change();
    void UpdateLaserFreq();

private:
    Controls m_c;
    link::Sender& m_sender;
    SaveSetting m_save;
};

} // namespace quillon::tuning
