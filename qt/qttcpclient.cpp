#include "qt/qttcpclient.h"

#include "base/failure.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <QSignalBlocker>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <array>
#include <optional>

#if defined(Q_OS_WIN)
#include <winsock2.h>

#include <mstcpip.h>
#include <ws2tcpip.h>
#elif defined(Q_OS_UNIX)
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace quillon::qt {

namespace {

// Keepalive probes start after this much silence, follow each other at this
// interval, and this many unanswered probes end the connection; data left
// unacknowledged for the user timeout ends it too. Together a vanished peer
// surfaces as an error within about ten seconds. A live instrument's TCP stack
// answers the probes itself, so it sees no extra bytes.
constexpr int kKeepAliveIdleSeconds = 2;
constexpr int kKeepAliveIntervalSeconds = 1;
constexpr int kKeepAliveProbes = 5;
constexpr int kUserTimeoutMs = 10000;

void enableKeepAlive(qintptr descriptor)
{
    if (descriptor < 0)
        return;
#if defined(Q_OS_WIN)
    const auto s = static_cast<SOCKET>(descriptor);
    // Windows takes idle time and interval in one call and fixes the probe
    // count at ten.
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = kKeepAliveIdleSeconds * 1000;
    values.keepaliveinterval = kKeepAliveIntervalSeconds * 1000;
    DWORD returned = 0;
    WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr,
             nullptr);
#ifdef TCP_MAXRT
    // The retransmission limit in seconds: Windows' nearest to a user timeout.
    const DWORD maxRt = kUserTimeoutMs / 1000;
    setsockopt(s, IPPROTO_TCP, TCP_MAXRT, reinterpret_cast<const char*>(&maxRt), sizeof maxRt);
#endif
#elif defined(Q_OS_UNIX)
    const int fd = static_cast<int>(descriptor);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
#if defined(TCP_KEEPIDLE)
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepAliveIdleSeconds, sizeof(int));
#elif defined(TCP_KEEPALIVE) // macOS names the idle time differently
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPALIVE, &kKeepAliveIdleSeconds, sizeof(int));
#endif
#if defined(TCP_KEEPINTVL)
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepAliveIntervalSeconds, sizeof(int));
#endif
#if defined(TCP_KEEPCNT)
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveProbes, sizeof(int));
#endif
#if defined(TCP_USER_TIMEOUT)
    const unsigned int userTimeout = kUserTimeoutMs;
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
#endif
#else
    Q_UNUSED(descriptor);
#endif
}

// The port as typed: decimal digits only, 1 to 65535.
std::optional<quint16> parsePort(const std::string& text)
{
    if (text.empty() || text.size() > 5)
        return std::nullopt;
    unsigned value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value < 1 || value > 65535)
        return std::nullopt;
    return static_cast<quint16>(value);
}

bool isHostNameCharacter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
           c == u'-' || c == u'_';
}

// Whether `host` can be looked up at all. Text that is neither an address nor
// a well-formed host name fails the attempt here rather than going out as a
// DNS query: garbage in the address box never leaves the machine. A name whose
// last label is all digits ("192.168.1.300") is a mistyped address, not a name.
bool isUsableHost(const QString& host)
{
    if (host.isEmpty())
        return false;
    if (QHostAddress address; address.setAddress(host))
        return true;
    QString ace = QString::fromLatin1(QUrl::toAce(host));
    if (ace.isEmpty())
        return false;
    if (ace.endsWith(u'.'))
        ace.chop(1);
    if (ace.isEmpty() || ace.size() > 253)
        return false;
    const QStringList labels = ace.split(u'.');
    for (const QString& label : labels) {
        if (label.isEmpty() || label.size() > 63)
            return false;
        for (const QChar c : label) {
            if (!isHostNameCharacter(c))
                return false;
        }
    }
    bool allDigits = true;
    for (const QChar c : labels.last())
        allDigits = allDigits && c.isDigit();
    return !allDigits;
}

} // namespace

QtTcpClient::QtTcpClient(QObject* parent)
    : QObject(parent), m_socket(new QTcpSocket(this)), m_attemptTimer(new QTimer(this))
{
    // The instrument is reached directly. A proxy set for the desktop is for
    // the web: it must not carry the link, and asking for it made every
    // attempt wait for the system's proxy lookup before connecting.
    m_socket->setProxy(QNetworkProxy::NoProxy);
    m_attemptTimer->setSingleShot(true);
    m_attemptTimer->setTimerType(Qt::PreciseTimer);
    QObject::connect(m_attemptTimer, &QTimer::timeout, this, &QtTcpClient::onAttemptTimeout);

    // Every handler below only updates the state and posts events, so it is
    // harmless that QTcpSocket calls some of them synchronously from inside
    // connectToHost().
    QObject::connect(m_socket, &QAbstractSocket::stateChanged, this,
                     [this](QAbstractSocket::SocketState s) { onSocketStateChanged(s); });
    QObject::connect(m_socket, &QAbstractSocket::errorOccurred, this,
                     [this](QAbstractSocket::SocketError e) { onSocketError(e); });
    QObject::connect(m_socket, &QIODevice::readyRead, this, &QtTcpClient::onReadyRead);
}

QtTcpClient::~QtTcpClient()
{
    const QSignalBlocker blocker(m_socket);
    m_socket->abort();
}

int QtTcpClient::state() const
{
    return m_state;
}

void QtTcpClient::setEvents(Events events)
{
    m_events = std::move(events);
}

void QtTcpClient::connect(const std::string& host, const std::string& port)
{
    if (m_state != Closed)
        throw Failure("connect: the client is not closed");

    ++m_generation;
    m_dataArrivalPending = false;
    const QString hostText = QString::fromStdString(host);
    const std::optional<quint16> portNumber = parsePort(port);
    QHostAddress literal;
    m_phase = m_state = literal.setAddress(hostText) ? Connecting : ResolvingHost;
    if (!portNumber || !isUsableHost(hostText)) {
        m_phase = Error;
        post(Event::Error);
        return;
    }

    // An address literal skips the lookup; QTcpSocket reports its own state
    // changes as they come, synchronously for the first ones.
    m_attemptTimer->start(m_attemptTimeout);
    m_socket->connectToHost(hostText, *portNumber);
}

void QtTcpClient::sendData(std::span<const std::uint8_t> bytes)
{
    // QTcpSocket would buffer a write made while connecting and send it
    // later; the link needs the send to fail now.
    if (m_state != Connected)
        throw Failure("send: the link is not connected");
    const auto size = static_cast<qint64>(bytes.size());
    if (m_socket->write(reinterpret_cast<const char*>(bytes.data()), size) != size)
        throw Failure("send: the write failed");
    // Hand the message to the network stack now, as one write, instead of at
    // the next pass of the event loop; while held, with the others at the
    // release. flush() does not block.
    if (m_holds == 0)
        m_socket->flush();
}

void QtTcpClient::holdSends()
{
    ++m_holds;
}

void QtTcpClient::releaseSends()
{
    if (m_holds > 0 && --m_holds == 0)
        m_socket->flush();
}

void QtTcpClient::close()
{
    ++m_generation;
    m_dataArrivalPending = false;
    m_attemptTimer->stop();
    // abort() drops what the socket still buffers; held messages were sent
    // before the close, so they go first.
    if (m_holds > 0)
        m_socket->flush();
    {
        // abort() emits stateChanged and disconnected synchronously; a close
        // raises no event.
        const QSignalBlocker blocker(m_socket);
        m_socket->abort();
    }
    m_phase = m_state = Closed;
}

bool QtTcpClient::attempting() const
{
    return m_phase == ResolvingHost || m_phase == HostResolved || m_phase == Connecting;
}

void QtTcpClient::onSocketStateChanged(int socketState)
{
    switch (static_cast<QAbstractSocket::SocketState>(socketState)) {
    // The steps of an attempt come with no event: callers see them at once.
    case QAbstractSocket::HostLookupState:
        if (attempting())
            m_phase = m_state = ResolvingHost;
        break;
    case QAbstractSocket::ConnectingState:
        if (attempting())
            m_phase = m_state = Connecting;
        break;
    case QAbstractSocket::ConnectedState:
        if (attempting()) {
            m_attemptTimer->stop();
            configureConnectedSocket();
            m_phase = Connected;
            post(Event::Connect);
        }
        break;
    case QAbstractSocket::UnconnectedState:
        // A refused attempt reports Unconnected before its error; a closed
        // connection reports its error (if any) first.
        if (attempting())
            failAttempt();
        else if (m_phase == Connected)
            connectionEnded(m_socket->error() == QAbstractSocket::RemoteHostClosedError ||
                            m_socket->error() == QAbstractSocket::UnknownSocketError);
        break;
    default:
        // ClosingState: the end of a connection is decided by its error or by
        // Unconnected.
        break;
    }
}

void QtTcpClient::onSocketError(int socketError)
{
    const auto error = static_cast<QAbstractSocket::SocketError>(socketError);
    // Only waitFor* calls time out, and a temporary error leaves the socket
    // as it was; neither ends anything.
    if (error == QAbstractSocket::SocketTimeoutError || error == QAbstractSocket::TemporaryError)
        return;
    if (attempting())
        failAttempt();
    else if (m_phase == Connected)
        connectionEnded(error == QAbstractSocket::RemoteHostClosedError);
}

void QtTcpClient::onReadyRead()
{
    if (drain() && (m_phase == Connected || m_phase == Closing))
        post(Event::DataArrival);
}

void QtTcpClient::onAttemptTimeout()
{
    if (!attempting())
        return;
    {
        const QSignalBlocker blocker(m_socket);
        m_socket->abort();
    }
    failAttempt();
}

void QtTcpClient::failAttempt()
{
    m_attemptTimer->stop();
    m_phase = Error;
    post(Event::Error);
}

void QtTcpClient::connectionEnded(bool closedByPeer)
{
    // What arrived before the end is still in the socket: it counts as one
    // arrival, reported before the end itself.
    if (drain())
        post(Event::DataArrival);
    m_phase = closedByPeer ? Closing : Error;
    post(closedByPeer ? Event::Close : Event::Error);
}

bool QtTcpClient::drain()
{
    std::array<char, 16384> scratch;
    bool any = false;
    while (m_socket->bytesAvailable() > 0) {
        if (m_socket->read(scratch.data(), scratch.size()) <= 0)
            break;
        any = true;
    }
    return any;
}

void QtTcpClient::configureConnectedSocket()
{
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    enableKeepAlive(m_socket->socketDescriptor());
}

void QtTcpClient::post(Event event)
{
    if (event == Event::DataArrival) {
        if (m_dataArrivalPending)
            return;
        m_dataArrivalPending = true;
    }
    const unsigned generation = m_generation;
    QMetaObject::invokeMethod(
        this, [this, event, generation] { deliver(event, generation); }, Qt::QueuedConnection);
}

void QtTcpClient::deliver(Event event, unsigned generation)
{
    // An event posted before the last close() or connect() belongs to a
    // connection that no longer exists.
    if (generation != m_generation)
        return;
    const std::function<void()>* handler = nullptr;
    switch (event) {
    case Event::Connect:
        m_state = Connected;
        handler = &m_events.connect;
        break;
    case Event::Close:
        m_state = Closing;
        handler = &m_events.close;
        break;
    case Event::DataArrival:
        m_dataArrivalPending = false;
        handler = &m_events.dataArrival;
        break;
    case Event::Error:
        m_state = Error;
        handler = &m_events.error;
        break;
    }
    if (handler && *handler)
        (*handler)();
}

} // namespace quillon::qt
