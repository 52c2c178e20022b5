#pragma once

// The link supervisor: the one TCP connection to the instrument, the outgoing
// heartbeat, the incoming-heartbeat watchdog, reconnection and the link
// indicator (the address box's background colour).

#include "base/controls.h"
#include "base/tcpclient.h"
#include "link/protocol.h"

#include <functional>
#include <string_view>

namespace quillon::link {

inline constexpr Colour kLinkDownColour = 0xC0C0FF; // light red, 0x00BBGGRR
inline constexpr Colour kLinkUpColour = kWhite;

// The link's periods, here and nowhere else. The window makes the timers and
// the client with them; tests shorten them so that they run in milliseconds.
struct Periods
{
    int heartbeatMs = 500;     // between two outgoing heartbeats
    int watchdogMs = 2500;     // the silence after which the link is down
    int connectLimitMs = 5000; // how long one attempt may look up and connect
};

class Link : public Sender
{
public:
    struct Controls
    {
        TcpClient& enet;
        TextBox& txtIP;         // host, and the link indicator
        const TextBox& txtPort; // port
        Timer& tmrHBout;        // outgoing heartbeat
        Timer& tmrHBin;         // watchdog
    };

    explicit Link(Controls controls);

    // Starts a connection attempt to the host and port in the window.
    void connect();
    // One message, one write, unless a SendBatch holds them. Throws
    // quillon::Failure unless connected.
    void send(const Message& message) override;
    void holdSends() override;
    void releaseSends() override;
    void close();
    // Light red indicator, heartbeat stopped; the connection itself stays.
    void linkDown();

    // The client's events, each going to its handler below, and its state
    // changes to the trace.
    TcpClient::Events clientEvents();

    void Enet_Connect();
    void Enet_Close();
    void Enet_DataArrival();
    void Enet_Error();
    void tmrHBout_Timer();
    void tmrHBin_Timer();

    // Runs the connect-time initialisation at each Connect, after the
    // indicator has turned white and both timers are running. Handed in after
    // construction, as the initialisation itself sends through this link.
    void setConnected(std::function<void()> connected) { m_onConnected = std::move(connected); }

    // The protocol trace, one line at a time: each message sent or refused
    // (hex bytes and command name), each connect and close, each event and
    // state change of the client, and each decision of the watchdog. The link
    // works the same with or without it, and formats nothing without it.
    void setTrace(std::function<void(std::string_view)> trace) { m_trace = std::move(trace); }

    // Whether the indicator shows the link up (white).
    bool indicatorUp() const { return m_up; }
    // Told each time the indicator changes, with whether it now shows the
    // link up; for whatever else shows the link state (the address box's
    // description for screen readers).
    void setIndicatorChanged(std::function<void(bool up)> changed)
    {
        m_indicatorChanged = std::move(changed);
    }

private:
    void trace(std::string_view decision) const
    {
        if (m_trace)
            m_trace(decision);
    }
    // Traces the client's state number when it differs from the last one seen.
    void noteState();
    void setIndicator(bool up);
    void restartWatchdog();

    Controls m_c;
    std::function<void()> m_onConnected;
    std::function<void(std::string_view)> m_trace;
    std::function<void(bool)> m_indicatorChanged;
    bool m_up = false; // a Connect event came and no link-down action since
    int m_tracedState;
};

} // namespace quillon::link
