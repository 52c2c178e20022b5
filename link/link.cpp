#include "link/link.h"

#include "base/failure.h"
#include "base/steps.h"

namespace quillon::link {

Link::Link(Controls controls) : m_c(controls) {}

void Link::connect()
{
    // Host and port are read afresh at every attempt and passed as typed: one
    // that cannot be used makes the attempt fail and the watchdog retries it.
    m_c.enet.connect(m_c.txtIP.text(), m_c.txtPort.text());
}

void Link::send(const Message& message)
{
    m_c.enet.sendData(message);
}

void Link::holdSends()
{
    m_c.enet.holdSends();
}

void Link::releaseSends()
{
    m_c.enet.releaseSends();
}

void Link::close()
{
    m_c.enet.close();
}

void Link::setIndicator(bool up)
{
    const bool changed = up != m_up;
    m_up = up;
    m_c.txtIP.setBackColour(up ? kLinkUpColour : kLinkDownColour);
    if (changed && m_indicatorChanged)
        m_indicatorChanged(up);
}

void Link::linkDown()
{
    setIndicator(false);
    m_c.tmrHBout.setEnabled(false);
}

TcpClient::Events Link::clientEvents()
{
    return {[this] { Enet_Connect(); }, [this] { Enet_Close(); }, [this] { Enet_DataArrival(); },
            [this] { Enet_Error(); }};
}

void Link::Enet_Connect()
{
    setIndicator(true);
    m_c.tmrHBin.setEnabled(true);
    m_c.tmrHBout.setEnabled(true);
    if (m_onConnected)
        m_onConnected();
}

void Link::Enet_Close()
{
    linkDown();
}

void Link::restartWatchdog()
{
    m_c.tmrHBin.setEnabled(false);
    m_c.tmrHBin.setEnabled(true);
}

void Link::Enet_DataArrival()
{
    // Any bytes are a sign of life: the watchdog's count starts afresh.
    restartWatchdog();
}

void Link::Enet_Error()
{
    // An error on an established link means the link is dead: a white
    // indicator would report it as up. The watchdog's next tick finds the
    // error state and reconnects. A failed attempt changes nothing: the
    // indicator is light red already and the heartbeat keeps failing quietly.
    if (m_up)
        linkDown();
}

void Link::tmrHBout_Timer()
{
    SkipOnError steps;
    steps.run([&] { send(heartbeat()); });
}

void Link::tmrHBin_Timer()
{
    SkipOnError steps;
    if (steps.test([&] { return m_c.enet.state() == TcpClient::Connected; })) {
        // Bytes that came within the period but whose DataArrival is not
        // handled yet are a sign of life like any other. After the GUI
        // thread was stalled (a suspended machine, a paused VM), Qt may
        // deliver the due tick before the socket's news; the instrument did
        // send, and the verdict must not depend on that order.
        if (steps.test([&] { return m_c.enet.arrivalPending(); })) {
            trace("watchdog: bytes arrived but not yet handled: watchdog restarted");
            steps.run([&] { restartWatchdog(); });
            return;
        }
        // Connected but silent for a whole period: mark the link down and
        // leave the socket alone; the instrument may still come back.
        trace("watchdog: connected but silent: link down, connection kept");
        steps.run([&] { linkDown(); });
        return;
    }
    // An attempt that failed, or an instrument that closed its side (it stays
    // closing until we close it): close, then try again. Without the closing
    // case the panel would never find an instrument that was restarted.
    if (steps.test([&] {
            const int state = m_c.enet.state();
            return state == TcpClient::Error || state == TcpClient::Closing;
        })) {
        trace("watchdog: connection failed or closed by the instrument: close");
        // The client's Error or Close event may still be on its way when the
        // tick comes; closing now drops it, so the link-down it would have run
        // runs here. Only a link still marked up is affected.
        if (m_up)
            steps.run([&] { linkDown(); });
        steps.run([&] { close(); });
    }
    if (steps.test([&] { return m_c.enet.state() == TcpClient::Closed; })) {
        trace("watchdog: closed: reconnect");
        steps.run([&] { connect(); });
    } else {
        // Resolving or connecting: leave the attempt alone until it ends.
        trace("watchdog: attempt under way: left alone");
    }
}

} // namespace quillon::link
