#pragma once

// The link supervisor: the one TCP connection to the instrument, the outgoing
// heartbeat, the incoming-heartbeat watchdog, reconnection and the link
// indicator (the address box's background colour).

#include "link/protocol.h"
#include "platform/controls.h"
#include "platform/tcpclient.h"

#include <functional>
#include <string_view>

namespace quillon::link {

inline constexpr platform::Colour kLinkDownColour = 0xC0C0FF; // light red, 0x00BBGGRR
inline constexpr platform::Colour kLinkUpColour = platform::kWhite;

class Link : public Sender
{
public:
    struct Controls
    {
        platform::TcpClient& enet;
        platform::TextBox& txtIP;         // host, and the link indicator
        const platform::TextBox& txtPort; // port
        platform::Timer& tmrHBout;        // outgoing heartbeat
        platform::Timer& tmrHBin;         // watchdog
    };

    // `onConnected` runs the connect-time initialisation, after the indicator
    // has turned white and both timers are running.
    Link(Controls controls, std::function<void()> onConnected);

    // Starts a connection attempt to the host and port in the window.
    void connect();
    // One message, one write. Throws quillon::Failure unless connected.
    void send(const Message& message) override;
    void close();
    // Light red indicator, heartbeat stopped; the connection itself stays.
    void linkDown();

    void Enet_Connect();
    void Enet_Close();
    void Enet_DataArrival();
    void Enet_Error();
    void tmrHBout_Timer();
    void tmrHBin_Timer();

    // Receives each decision of the watchdog in words, for a protocol trace;
    // the link works the same with or without it.
    void setTrace(std::function<void(std::string_view)> trace) { m_trace = std::move(trace); }

private:
    void trace(std::string_view decision) const
    {
        if (m_trace)
            m_trace(decision);
    }

    Controls m_c;
    std::function<void()> m_onConnected;
    std::function<void(std::string_view)> m_trace;
    bool m_up = false; // a Connect event came and no link-down action since
};

} // namespace quillon::link
