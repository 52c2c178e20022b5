#include "link/link.h"

#include "base/failure.h"
#include "base/steps.h"

#include <array>
#include <string>

namespace quillon::link {

namespace {
constexpr std::array<std::string_view, 10> kStateNames{
    "Closed",       "Open",       "Listening", "ConnectionPending", "ResolvingHost",
    "HostResolved", "Connecting", "Connected", "Closing",           "Error"};
} // namespace

Link::Link(Controls controls) : m_c(controls), m_tracedState(m_c.enet.state()) {}

void Link::connect()
{
    // Host and port are read afresh at every attempt and passed as typed: one
    // that cannot be used makes the attempt fail and the watchdog retries it.
    const std::string host = m_c.txtIP.text();
    const std::string port = m_c.txtPort.text();
    if (m_trace)
        m_trace("connect to " + host + " port " + port);
    try {
        m_c.enet.connect(host, port);
    } catch (const Failure&) {
        trace("connect refused: the client is not closed");
        throw;
    }
    noteState();
}

void Link::send(const Message& message)
{
    try {
        m_c.enet.sendData(message);
    } catch (const Failure&) {
        // Sends run in skip-on-error mode, so one on a link that is down
        // vanishes without a word; the trace says what was lost.
        if (m_trace)
            m_trace("not sent (state " + std::to_string(m_c.enet.state()) +
                    "): " + describeMessage(message));
        throw;
    }
    if (m_trace)
        m_trace("sent " + describeMessage(message));
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
    trace("close");
    m_c.enet.close();
    noteState();
}

void Link::noteState()
{
    if (!m_trace)
        return;
    const int state = m_c.enet.state();
    if (state == m_tracedState)
        return;
    m_tracedState = state;
    const auto index = static_cast<std::size_t>(state);
    m_trace("state " + std::to_string(state) + " " +
            std::string(index < kStateNames.size() ? kStateNames[index] : ""));
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
    // Some transitions (an attempt that timed out) show only with their event.
    const auto traced = [this](std::string_view event, void (Link::*handler)()) {
        return [this, event, handler] {
            noteState();
            if (m_trace)
                m_trace("event " + std::string(event));
            (this->*handler)();
        };
    };
    return {traced("Connect", &Link::Enet_Connect), traced("Close", &Link::Enet_Close),
            traced("DataArrival", &Link::Enet_DataArrival), traced("Error", &Link::Enet_Error),
            [this] { noteState(); }};
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
