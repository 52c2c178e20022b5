#pragma once

#include "link/protocol.h"

#include <functional>

namespace quillon::link {

// What every new connection sends to bring the instrument into a known state:
// two fixed set-up commands, the charge-pump levels and both prescaler choices
// (through the same actions the window runs, so the choices are saved again),
// a third fixed command and the selection of the target slot. The tuning word
// is not sent; the instrument keeps the one it holds until the next Update.
class ConnectTimeInit
{
public:
    struct Actions
    {
        std::function<void()> cmdUpdateCP_Click;
        std::function<void()> cmbRosa_Click;
        std::function<void()> cmbDdsPrescaler_Click;
    };

    ConnectTimeInit(Sender& sender, Actions actions);

    void run();

private:
    Sender& m_sender;
    Actions m_actions;
};

} // namespace quillon::link
