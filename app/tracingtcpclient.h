#pragma once

// The protocol trace: the logging category quillon.link, and the TCP client
// the link talks through, which reports to it every message sent (hex bytes
// and command name), every change of the client's state number and every
// event the client raises. The category's debug output is off unless it is
// switched on, for example with QT_LOGGING_RULES="quillon.link.debug=true";
// while it is off the client only passes calls and events through.

#include "base/tcpclient.h"

#include <QLoggingCategory>
#include <QObject>

#include <span>
#include <string_view>

Q_DECLARE_LOGGING_CATEGORY(lcQuillonLink)

namespace quillon::qt {
class QtTcpClient;
}

namespace quillon::app {

// The name of a state number of the TCP client ("Connected"), or "" when the
// number is none of them.
std::string_view tcpStateName(int state);

// One message as the trace shows it: "A5 00 55 55 D5 14 SetTuningWord".
QString describeMessage(std::span<const std::uint8_t> bytes);

// Writes one line to the trace when it is switched on.
void traceLink(std::string_view text);

class TracingTcpClient : public QObject, public TcpClient
{
public:
    // `client` must outlive this object.
    explicit TracingTcpClient(qt::QtTcpClient& client, QObject* parent = nullptr);

    int state() const override;
    void connect(const std::string& host, const std::string& port) override;
    void sendData(std::span<const std::uint8_t> bytes) override;
    void holdSends() override;
    void releaseSends() override;
    void close() override;
    void setEvents(Events events) override;
    bool arrivalPending() const override;

private:
    // Traces the client's state number when it differs from the last one seen.
    void noteState();
    std::function<void()> traced(const char* event, std::function<void()> handler);

    qt::QtTcpClient& m_client;
    int m_lastState;
};

} // namespace quillon::app
