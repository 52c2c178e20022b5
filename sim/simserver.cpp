#include "sim/simserver.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <array>
#include <chrono>
#include <cstring>

#if defined(Q_OS_UNIX)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#elif defined(Q_OS_WIN)
#include <winsock2.h>
#endif

namespace quillon::sim {

namespace {

constexpr int kFloodTickMs = 10;
// A client that reads slower than the flood leaves at most this much queued
// here; the flood waits for it rather than growing without bound.
constexpr qint64 kFloodBacklog = 4 * 1024 * 1024;
// The byte sent back as a sign of life; the panel never looks at it.
constexpr char kBeatByte = 0x7F;

#if defined(Q_OS_UNIX)
// Binds a TCP socket without listening on it: connections are refused, and
// the port stays taken so that a test can be told which port refuses.
qintptr bindWithoutListening(const QHostAddress& address, quint16 port, quint16* boundPort,
                             QString* error)
{
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR raw = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, &raw, sizeof raw);
        length = sizeof *in6;
    } else {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        in4->sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof *in4;
    }
    const int fd = ::socket(storage.ss_family, SOCK_STREAM, 0);
    if (fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return -1;
    }
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length);
    *boundPort =
        ntohs(storage.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
    return fd;
}

void closeSocket(qintptr fd)
{
    ::close(static_cast<int>(fd));
}
#endif

// Makes the next close send RST instead of FIN.
void lingerZero(qintptr descriptor)
{
#if defined(Q_OS_UNIX) || defined(Q_OS_WIN)
    linger value{};
    value.l_onoff = 1;
    value.l_linger = 0;
#if defined(Q_OS_WIN)
    setsockopt(static_cast<SOCKET>(descriptor), SOL_SOCKET, SO_LINGER,
               reinterpret_cast<const char*>(&value), sizeof value);
#else
    setsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_LINGER, &value, sizeof value);
#endif
#else
    Q_UNUSED(descriptor);
#endif
}

QString endpoint(const QHostAddress& address, quint16 port)
{
    if (address.protocol() == QAbstractSocket::IPv6Protocol)
        return QStringLiteral("[%1]:%2").arg(address.toString()).arg(port);
    return QStringLiteral("%1:%2").arg(address.toString()).arg(port);
}

} // namespace

SimServer::SimServer(Options options, std::FILE* out)
    : m_options(std::move(options)), m_out(out), m_instrument(m_options.systemClockMHz),
      m_server(new QTcpServer(this)), m_beat(new QTimer(this)), m_flood(new QTimer(this))
{
    m_clock.start();
    m_beat->setTimerType(Qt::PreciseTimer);
    m_beat->setInterval(m_options.beatMs);
    QObject::connect(m_beat, &QTimer::timeout, this, [this] { sendBeat(); });
    m_flood->setTimerType(Qt::PreciseTimer);
    m_flood->setInterval(kFloodTickMs);
    QObject::connect(m_flood, &QTimer::timeout, this, [this] { flood(); });
    if (m_options.floodBytesPerSecond > 0) {
        const qint64 perTick =
            std::max<qint64>(1, m_options.floodBytesPerSecond * kFloodTickMs / 1000);
        m_floodChunk.resize(perTick);
        for (qint64 i = 0; i < perTick; ++i)
            m_floodChunk[i] = static_cast<char>(i & 0xFF);
    }
    QObject::connect(m_server, &QTcpServer::newConnection, this, [this] { acceptClient(); });
}

SimServer::~SimServer()
{
    stop();
    if (m_record)
        std::fclose(m_record);
}

double SimServer::now() const
{
    if (m_options.steadyClock)
        return std::chrono::duration<double, std::milli>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    return static_cast<double>(m_clock.nsecsElapsed()) / 1e6;
}

void SimServer::line(const std::string& text)
{
    std::fprintf(m_out, "%10.3f  %s\n", now(), text.c_str());
}

bool SimServer::start(QString* error)
{
    if (!m_options.recordPath.isEmpty()) {
        m_record = std::fopen(m_options.recordPath.toLocal8Bit().constData(), "w");
        if (!m_record) {
            *error = QStringLiteral("cannot write %1").arg(m_options.recordPath);
            return false;
        }
        // Tests read the record while the simulator runs.
        std::setvbuf(m_record, nullptr, _IOLBF, 0);
    }

    if (m_options.refuse || m_options.refuseForMs >= 0) {
#if defined(Q_OS_UNIX)
        m_refusingSocket =
            bindWithoutListening(m_options.address, m_options.port, &m_boundPort, error);
        if (m_refusingSocket < 0)
            return false;
        line("refusing on " + endpoint(m_options.address, m_boundPort).toStdString());
        if (!m_options.refuse)
            QTimer::singleShot(m_options.refuseForMs, this, [this] { startListening(); });
        return true;
#else
        // Elsewhere the simulator listens and drops every connection at once:
        // the panel sees each attempt end instead of being refused.
        m_refusing = true;
        line("refusing by closing each connection at once");
        if (!m_options.refuse)
            QTimer::singleShot(m_options.refuseForMs, this, [this] {
                m_refusing = false;
                line("accepting connections");
            });
#endif
    }
    if (!m_server->listen(m_options.address, m_options.port)) {
        *error = m_server->errorString();
        return false;
    }
    m_boundPort = m_server->serverPort();
    line("listening on " + endpoint(m_options.address, m_boundPort).toStdString());
    return true;
}

void SimServer::startListening()
{
    if (m_stopped)
        return;
#if defined(Q_OS_UNIX)
    if (m_refusingSocket >= 0) {
        closeSocket(m_refusingSocket);
        m_refusingSocket = -1;
    }
#endif
    if (!m_server->listen(m_options.address, m_boundPort)) {
        line("cannot listen any more: " + m_server->errorString().toStdString());
        return;
    }
    line("listening on " + endpoint(m_options.address, m_boundPort).toStdString());
}

void SimServer::acceptClient()
{
    while (QTcpSocket* incoming = m_server->nextPendingConnection()) {
        if (m_refusing) {
            incoming->abort();
            incoming->deleteLater();
            continue;
        }
        if (m_client) {
            line("-- client replaced by a new connection");
            dropClient();
        }
        m_client = incoming;
        m_instrument.takePending();
        line("-- client connected from " +
             endpoint(incoming->peerAddress(), incoming->peerPort()).toStdString());

        if (m_options.noRead)
            // Qt keeps reading into its own buffer unless told not to; one byte
            // of room makes it stop, and the client's data backs up in TCP.
            incoming->setReadBufferSize(1);
        else
            QObject::connect(incoming, &QIODevice::readyRead, this, [this] { onReadyRead(); });
        QObject::connect(incoming, &QAbstractSocket::disconnected, this,
                         [this, incoming] { onClientGone(incoming); });

        if (m_options.beatMs > 0)
            m_beat->start();
        if (m_options.floodBytesPerSecond > 0)
            m_flood->start();

        // The faults count from this connection; the socket is their context,
        // so a client that went away takes its pending faults with it.
        if (m_options.silentAfterMs >= 0)
            QTimer::singleShot(m_options.silentAfterMs, incoming, [this, incoming] {
                if (incoming != m_client)
                    return;
                line("-- going silent");
                m_beat->stop();
                m_flood->stop();
            });
        if (m_options.closeAfterMs >= 0)
            QTimer::singleShot(m_options.closeAfterMs, incoming, [this, incoming] {
                if (incoming != m_client)
                    return;
                line("-- closing the connection");
                m_beat->stop();
                m_flood->stop();
                m_client->disconnectFromHost();
            });
        if (m_options.resetAfterMs >= 0)
            QTimer::singleShot(m_options.resetAfterMs, incoming, [this, incoming] {
                if (incoming == m_client)
                    resetClient();
            });
    }
}

void SimServer::onReadyRead()
{
    if (!m_client)
        return;
    const QByteArray data = m_client->readAll();
    if (data.isEmpty())
        return;
    const double ms = now();
    const auto* begin = reinterpret_cast<const std::uint8_t*>(data.constData());
    m_instrument.feed(std::span(begin, static_cast<std::size_t>(data.size())), ms,
                      [this](const Received& message) {
                          const std::string bytes = Instrument::hex(message.bytes);
                          if (m_record)
                              std::fprintf(m_record, "%.3f %s\n", message.ms, bytes.c_str());
                          if (!m_options.quiet || !message.known)
                              line(bytes + "  " + m_instrument.describe(message));
                          if (m_options.printStateEachMessage)
                              line(m_instrument.stateText());
                      });
}

void SimServer::onClientGone(QTcpSocket* client)
{
    if (client != m_client)
        return;
    // Whatever the client wrote before it closed is still readable.
    onReadyRead();
    const std::vector<std::uint8_t> pending = m_instrument.takePending();
    if (!pending.empty())
        line("-- incomplete message dropped: " + Instrument::hex(pending));
    line("-- client closed the connection");
    m_beat->stop();
    m_flood->stop();
    m_client->deleteLater();
    m_client = nullptr;
}

void SimServer::sendBeat()
{
    if (m_client && m_client->state() == QAbstractSocket::ConnectedState) {
        m_client->write(&kBeatByte, 1);
        m_client->flush();
    }
}

void SimServer::flood()
{
    if (!m_client || m_client->state() != QAbstractSocket::ConnectedState)
        return;
    if (m_client->bytesToWrite() < kFloodBacklog)
        m_client->write(m_floodChunk);
}

void SimServer::resetClient()
{
    if (!m_client)
        return;
    line("-- resetting the connection");
    lingerZero(m_client->socketDescriptor());
    dropClient();
}

void SimServer::dropClient()
{
    m_beat->stop();
    m_flood->stop();
    if (!m_client)
        return;
    QTcpSocket* client = m_client;
    m_client = nullptr;
    client->disconnect(this);
    client->abort();
    client->deleteLater();
}

void SimServer::printState()
{
    line(m_instrument.stateText());
}

void SimServer::stop()
{
    if (m_stopped)
        return;
    m_stopped = true;
    if (m_client) {
        onReadyRead();
        dropClient();
    }
    m_server->close();
#if defined(Q_OS_UNIX)
    if (m_refusingSocket >= 0) {
        closeSocket(m_refusingSocket);
        m_refusingSocket = -1;
    }
#endif
    printState();
    line("stopped");
    if (m_record)
        std::fflush(m_record);
}

} // namespace quillon::sim
