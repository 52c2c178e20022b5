#include "app/tracingtcpclient.h"

#include "base/failure.h"
#include "link/protocol.h"
#include "qt/qttcpclient.h"

#include <QTcpSocket>

// Debug messages are off unless a logging rule switches them on: the trace is
// for an engineer chasing an instrument problem, not for every run. While they
// are off, qCDebug evaluates none of its arguments.
Q_LOGGING_CATEGORY(lcQuillonLink, "quillon.link", QtWarningMsg)

namespace quillon::app {

std::string_view tcpStateName(int state)
{
    switch (state) {
    case TcpClient::Closed:
        return "Closed";
    case TcpClient::Open:
        return "Open";
    case TcpClient::Listening:
        return "Listening";
    case TcpClient::ConnectionPending:
        return "ConnectionPending";
    case TcpClient::ResolvingHost:
        return "ResolvingHost";
    case TcpClient::HostResolved:
        return "HostResolved";
    case TcpClient::Connecting:
        return "Connecting";
    case TcpClient::Connected:
        return "Connected";
    case TcpClient::Closing:
        return "Closing";
    case TcpClient::Error:
        return "Error";
    }
    return {};
}

QString describeMessage(std::span<const std::uint8_t> bytes)
{
    const QByteArray raw(reinterpret_cast<const char*>(bytes.data()),
                         static_cast<qsizetype>(bytes.size()));
    QString text = QString::fromLatin1(raw.toHex(' ').toUpper());
    const std::string_view name = bytes.empty() ? std::string_view() : link::commandName(bytes[0]);
    text += u' ';
    text += name.empty() ? QStringLiteral("(unknown command)")
                         : QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
    return text;
}

void traceLink(std::string_view text)
{
    qCDebug(lcQuillonLink, "%.*s", static_cast<int>(text.size()), text.data());
}

TracingTcpClient::TracingTcpClient(qt::QtTcpClient& client, QObject* parent)
    : QObject(parent), m_client(client), m_lastState(client.state())
{
    // The client's state moves with its socket, also between two calls and
    // two events (looking up the host, then connecting). The client handles
    // each socket signal first, as it connected first, so the state read here
    // is already the new one.
    const QTcpSocket* socket = &m_client.socket();
    QObject::connect(socket, &QAbstractSocket::stateChanged, this, [this] { noteState(); });
    QObject::connect(socket, &QAbstractSocket::errorOccurred, this, [this] { noteState(); });
}

int TracingTcpClient::state() const
{
    return m_client.state();
}

void TracingTcpClient::connect(const std::string& host, const std::string& port)
{
    qCDebug(lcQuillonLink).noquote()
        << QStringLiteral("connect to %1 port %2")
               .arg(QString::fromStdString(host), QString::fromStdString(port));
    try {
        m_client.connect(host, port);
    } catch (const Failure&) {
        traceLink("connect refused: the client is not closed");
        noteState();
        throw;
    }
    noteState();
}

void TracingTcpClient::sendData(std::span<const std::uint8_t> bytes)
{
    try {
        m_client.sendData(bytes);
    } catch (const Failure&) {
        // The link sends in skip-on-error mode, so a send on a link that is
        // down vanishes without a word; the trace says what was lost.
        qCDebug(lcQuillonLink).noquote()
            << QStringLiteral("not sent (state %1):").arg(m_client.state())
            << describeMessage(bytes);
        throw;
    }
    qCDebug(lcQuillonLink).noquote() << QStringLiteral("sent") << describeMessage(bytes);
}

void TracingTcpClient::holdSends()
{
    m_client.holdSends();
}

void TracingTcpClient::releaseSends()
{
    m_client.releaseSends();
}

void TracingTcpClient::close()
{
    traceLink("close");
    m_client.close();
    noteState();
}

bool TracingTcpClient::arrivalPending() const
{
    return m_client.arrivalPending();
}

void TracingTcpClient::setEvents(Events events)
{
    m_client.setEvents({traced("Connect", std::move(events.connect)),
                        traced("Close", std::move(events.close)),
                        traced("DataArrival", std::move(events.dataArrival)),
                        traced("Error", std::move(events.error))});
}

std::function<void()> TracingTcpClient::traced(const char* event, std::function<void()> handler)
{
    return [this, event, handler = std::move(handler)] {
        // Some transitions (an attempt that timed out) show only with their
        // event.
        noteState();
        qCDebug(lcQuillonLink, "event %s", event);
        if (handler)
            handler();
    };
}

void TracingTcpClient::noteState()
{
    const int state = m_client.state();
    if (state == m_lastState)
        return;
    m_lastState = state;
    const std::string_view name = tcpStateName(state);
    qCDebug(lcQuillonLink, "state %d %.*s", state, static_cast<int>(name.size()), name.data());
}

} // namespace quillon::app
