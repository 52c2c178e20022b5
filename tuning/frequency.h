#pragma once

// The DDS frequency Update, the zero start and the system-clock box's rules.

#include "base/controls.h"
#include "link/protocol.h"

#include <cstdint>

namespace quillon::tuning {

inline constexpr std::uint32_t kStartWord = 0x0042AAAB; // about 1 MHz at 983.04 MHz

// W = floor(|F| * 1e6 / (C * 1e6 / 2^32)) in IEEE double, in that order.
// Throws quillon::Failure on overflow, division by zero or an invalid result.
double tuningWord(double frequencyMHz, double systemClockMHz);
// W as the word SetTuningWord carries. Throws quillon::Failure when W is
// negative or at 2^31 or above, or not a whole number.
std::uint32_t checkedTuningWord(double word);

class FrequencyUpdate
{
public:
    struct Controls
    {
        TextBox& txtFreq;
        TextBox& txtSysClk;
        const CheckBox& chkZero;
        Timer& tmrZero;
    };

    FrequencyUpdate(Controls controls, link::Sender& sender);

    void cmdUpdateFreq_Click();
    void txtFreq_KeyDown(int keyCode, int shift);
    void txtSysClk_Change();
    void txtSysClk_LostFocus();
    void tmrZero_Timer();

private:
    Controls m_c;
    link::Sender& m_sender;
};

} // namespace quillon::tuning
