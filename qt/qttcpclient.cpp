#include "qt/qttcpclient.h"

#include "base/failure.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QSignalBlocker>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <array>
#include <cstring>
#include <optional>
#include <utility>

#if defined(Q_OS_WIN)
#include <winsock2.h>

#include <mstcpip.h>
#include <ws2tcpip.h>
#elif defined(Q_OS_UNIX)
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
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

// A non-blocking TCP socket of its own, connecting: what QTcpSocket would
// do, without its second connect() to learn the outcome.
enum class Started
{
    Connected,
    InProgress,
    Failed
};

#if defined(Q_OS_WIN)
constexpr qintptr kNoSocket = qintptr(INVALID_SOCKET);

void closeSocket(qintptr s)
{
    ::closesocket(static_cast<SOCKET>(s));
}

int lastSocketError()
{
    return ::WSAGetLastError();
}

bool madeAConnection(int error)
{
    return error == WSAECONNRESET || error == WSAECONNABORTED;
}
#else
constexpr qintptr kNoSocket = -1;

void closeSocket(qintptr s)
{
    ::close(static_cast<int>(s));
}

int lastSocketError()
{
    return errno;
}

// A reset or an abort after the handshake: the instrument did take the
// connection. Anything else (refused, unreachable) made none.
bool madeAConnection(int error)
{
    return error == ECONNRESET || error == ECONNABORTED;
}
#endif

Started startConnection(const QHostAddress& address, quint16 port, qintptr* socket, int* error)
{
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, bytes.c, sizeof bytes.c);
        in6->sin6_scope_id = address.scopeId().toUInt();
        length = sizeof *in6;
    } else {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        in4->sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof *in4;
    }
    const int family = storage.ss_family;
#if defined(Q_OS_WIN)
    const SOCKET s = ::socket(family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        *error = lastSocketError();
        return Started::Failed;
    }
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    u_long nonBlocking = 1;
    const bool ready = ::ioctlsocket(s, FIONBIO, &nonBlocking) == 0;
    const int result =
        ready ? ::connect(s, reinterpret_cast<const sockaddr*>(&storage), length) : SOCKET_ERROR;
    const bool inProgress = ready && result != 0 && lastSocketError() == WSAEWOULDBLOCK;
#else
    const int s = ::socket(family, SOCK_STREAM, 0);
    if (s < 0) {
        *error = lastSocketError();
        return Started::Failed;
    }
    const bool ready = ::fcntl(s, F_SETFD, FD_CLOEXEC) == 0 &&
                       ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK) == 0;
    const int result =
        ready ? ::connect(s, reinterpret_cast<const sockaddr*>(&storage), length) : -1;
    const bool inProgress = ready && result != 0 && lastSocketError() == EINPROGRESS;
#endif
    *socket = qintptr(s);
    if (ready && result == 0)
        return Started::Connected;
    if (inProgress)
        return Started::InProgress;
    *error = lastSocketError();
    closeSocket(qintptr(s));
    *socket = kNoSocket;
    return Started::Failed;
}

// How the connection attempt on `socket` ended, once it is writable: 0 for
// connected, else the error it met. Reading the error also clears it.
int pendingError(qintptr socket)
{
    int value = 0;
#if defined(Q_OS_WIN)
    int length = sizeof value;
    if (::getsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_ERROR,
                     reinterpret_cast<char*>(&value), &length) != 0)
        return lastSocketError();
#else
    socklen_t length = sizeof value;
    if (::getsockopt(static_cast<int>(socket), SOL_SOCKET, SO_ERROR, &value, &length) != 0)
        return lastSocketError();
#endif
    return value;
}

// Bytes the network stack holds for `socket` that nobody has read yet.
qint64 bytesInNetworkStack(qintptr socket)
{
    if (socket < 0)
        return 0;
#if defined(Q_OS_WIN)
    u_long count = 0;
    if (::ioctlsocket(static_cast<SOCKET>(socket), FIONREAD, &count) != 0)
        return 0;
#else
    int count = 0;
    if (::ioctl(static_cast<int>(socket), FIONREAD, &count) != 0)
        return 0;
#endif
    return qint64(count);
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
#if defined(Q_OS_WIN)
    // The client opens sockets before QTcpSocket has started Winsock.
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
#endif
    // The socket is connected here, directly: a proxy set for the desktop is
    // for the web and never carries the link.
    m_attemptTimer->setSingleShot(true);
    m_attemptTimer->setTimerType(Qt::PreciseTimer);
    QObject::connect(m_attemptTimer, &QTimer::timeout, this, &QtTcpClient::onAttemptTimeout);

    // Every handler below only updates the state and posts events, so it is
    // harmless that QTcpSocket calls some of them synchronously from inside
    // a write or an abort().
    QObject::connect(m_socket, &QAbstractSocket::stateChanged, this,
                     [this](QAbstractSocket::SocketState s) { onSocketStateChanged(s); });
    QObject::connect(m_socket, &QAbstractSocket::errorOccurred, this,
                     [this](QAbstractSocket::SocketError e) { onSocketError(e); });
    QObject::connect(m_socket, &QIODevice::readyRead, this, &QtTcpClient::onReadyRead);
}

QtTcpClient::~QtTcpClient()
{
    abandonAttempt();
    {
        const QSignalBlocker blocker(m_socket);
        m_socket->abort();
    }
#if defined(Q_OS_WIN)
    ::WSACleanup();
#endif
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

    m_port = *portNumber;
    if (m_attemptTimeout.count() > 0)
        m_attemptTimer->start(m_attemptTimeout);
    if (m_phase == Connecting) {
        // An address literal skips the lookup. A new list, not an assignment
        // of {literal}: Qt 6.8's QList::assign asserts on an empty list that
        // has room before its start, as takeFirst() leaves it.
        m_addresses = QList<QHostAddress>{literal};
        connectToNextAddress();
        return;
    }
    const unsigned generation = m_generation;
    m_lookupId = QHostInfo::lookupHost(hostText, this, [this, generation](const QHostInfo& info) {
        onLookedUp(info, generation);
    });
}

void QtTcpClient::onLookedUp(const QHostInfo& info, unsigned generation)
{
    if (generation != m_generation || m_phase != ResolvingHost)
        return;
    m_lookupId = -1;
    m_addresses = info.error() == QHostInfo::NoError ? info.addresses() : QList<QHostAddress>();
    // The steps of an attempt come with no event: callers see them at once.
    m_phase = m_state = Connecting;
    if (m_events.stateChanged)
        m_events.stateChanged();
    connectToNextAddress();
}

void QtTcpClient::connectToNextAddress()
{
    while (!m_addresses.isEmpty()) {
        const QHostAddress address = m_addresses.takeFirst();
        int error = 0;
        switch (startConnection(address, m_port, &m_pendingSocket, &error)) {
        case Started::Connected:
            handOver();
            return;
        case Started::InProgress:
            m_connectNotifier = new QSocketNotifier(m_pendingSocket, QSocketNotifier::Write, this);
            QObject::connect(m_connectNotifier, &QSocketNotifier::activated, this,
                             &QtTcpClient::onConnectReady);
            return;
        case Started::Failed:
            // Refused at once, or no route: no connection was made, so the
            // next address may be tried.
            break;
        }
    }
    failAttempt();
}

void QtTcpClient::onConnectReady()
{
    // Unregistered before anything else watches the socket.
    m_connectNotifier->setEnabled(false);
    m_connectNotifier->deleteLater();
    m_connectNotifier = nullptr;
    const int error = pendingError(m_pendingSocket);
    if (error == 0) {
        handOver();
        return;
    }
    closeSocket(std::exchange(m_pendingSocket, kNoSocket));
    // A connection that was made and then reset ends the request: the next
    // watchdog tick makes the next one.
    if (madeAConnection(error))
        m_addresses.clear();
    connectToNextAddress();
}

void QtTcpClient::handOver()
{
    const qintptr socket = std::exchange(m_pendingSocket, kNoSocket);
    m_addresses.clear();
    // The socket reports Connected inside this call; the transition is made
    // below, with its event.
    if (!m_socket->setSocketDescriptor(socket)) {
        closeSocket(socket);
        failAttempt();
        return;
    }
    m_attemptTimer->stop();
    configureConnectedSocket();
    m_phase = Connected;
    post(Event::Connect);
}

void QtTcpClient::abandonAttempt()
{
    if (m_lookupId >= 0) {
        QHostInfo::abortHostLookup(m_lookupId);
        m_lookupId = -1;
    }
    if (m_connectNotifier) {
        m_connectNotifier->setEnabled(false);
        m_connectNotifier->deleteLater();
        m_connectNotifier = nullptr;
    }
    if (m_pendingSocket != kNoSocket)
        closeSocket(std::exchange(m_pendingSocket, kNoSocket));
    m_addresses.clear();
}

void QtTcpClient::sendData(std::span<const std::uint8_t> bytes)
{
    // The link needs a send outside Connected to fail now. The socket may
    // have closed itself (an error inside an earlier write) before its event
    // was delivered; writing to it then would only print Qt's warning.
    if (m_state != Connected || m_phase != Connected ||
        m_socket->state() != QAbstractSocket::ConnectedState)
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
    abandonAttempt();
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

bool QtTcpClient::arrivalPending() const
{
    if (m_dataArrivalPending || m_socket->bytesAvailable() > 0)
        return true;
    return m_phase == Connected && bytesInNetworkStack(m_socket->socketDescriptor()) > 0;
}

void QtTcpClient::onSocketStateChanged(int socketState)
{
    // The socket is handed over connected, so only its end is news here. A
    // closed connection reports its error (if any) first, then Unconnected.
    if (socketState == QAbstractSocket::UnconnectedState && m_phase == Connected)
        connectionEnded(m_socket->error() == QAbstractSocket::RemoteHostClosedError ||
                        m_socket->error() == QAbstractSocket::UnknownSocketError);
}

void QtTcpClient::onSocketError(int socketError)
{
    const auto error = static_cast<QAbstractSocket::SocketError>(socketError);
    // Only waitFor* calls time out, and a temporary error leaves the socket
    // as it was; neither ends anything.
    if (error == QAbstractSocket::SocketTimeoutError || error == QAbstractSocket::TemporaryError)
        return;
    if (m_phase == Connected)
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
    abandonAttempt();
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
