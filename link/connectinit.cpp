#include "link/connectinit.h"

#include "base/steps.h"

namespace quillon::link {

ConnectTimeInit::ConnectTimeInit(Sender& sender, Actions actions)
    : m_sender(sender), m_actions(std::move(actions))
{}

void ConnectTimeInit::run()
{
    // The fixed sends are not guarded one by one: if one fails, the connection
    // dropped during the sequence, and the rest of it would only fail too. The
    // sequence stops quietly; the watchdog reconnects and the next connect
    // repeats it whole. The three actions skip their own failing steps. The
    // whole sequence leaves together when it ends.
    const SendBatch batch(m_sender);
    runGuarded([&] {
        m_sender.send(connectA0());
        m_sender.send(connectA6());
        m_actions.cmdUpdateCP_Click();
        m_actions.cmbRosa_Click();
        m_actions.cmbDdsPrescaler_Click();
        m_sender.send(connectAF());
        m_sender.send(selectSlot(0));
    });
}

} // namespace quillon::link
