#pragma once

// The DDS and ROSA prescaler actions, the charge-pump Update and the
// laser-offset readout.

#include "base/controls.h"
#include "link/protocol.h"

#include <functional>

namespace quillon::tuning {

class PrescalersPumpReadout
{
public:
    struct Controls
    {
        ListBox& cmbDdsPrescaler;
        ListBox& cmbRosa;
        const ListBox& cmbFreqDet;
        const ListBox& cmbWideLock;
        const ListBox& cmbFinalLock;
        const TextBox& txtFreq;
        Label& lblLaserFreq;
    };

    // Save each list's choice where the settings keep it (the settings know
    // its name and its text form); a failed save is silent.
    struct Saves
    {
        std::function<void()> ddsPrescaler;
        std::function<void()> rosaPrescaler;
    };

    PrescalersPumpReadout(Controls controls, link::Sender& sender, Saves saves);

    void cmbDdsPrescaler_Click();
    void cmbRosa_Click();
    void cmdUpdateCP_Click();
    void txtFreq_Change();
    void UpdateLaserFreq();

private:
    Controls m_c;
    link::Sender& m_sender;
    Saves m_saves;
};

} // namespace quillon::tuning
