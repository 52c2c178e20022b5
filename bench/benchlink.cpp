// bench-link: how much the link's own path costs on loopback, each number
// next to a baseline measured in the same run.
//
//  (a) Heartbeat interval error: the Link supervisor's heartbeat (QtTimer ->
//      Link::tmrHBout_Timer -> QtTcpClient) against a bare QTimer
//      (Qt::PreciseTimer) writing to a bare QTcpSocket, each as seen by a
//      receiver: |interval between arrivals - nominal interval|.
//  (b) Send latency: Link::send -> arrival at a receiver, against a bare
//      QTcpSocket write + flush -> arrival.
//
// Each path has its own receiver thread that reads with blocking calls and
// stamps every arrival on the steady clock, and that beats a byte back every
// 500 ms like the instrument, so the link's watchdog keeps it up. Both paths
// run at once in the one GUI thread, as the panel's would. --flood makes both
// receivers flood their client, to see the heartbeat and memory under load.

#include "base/steps.h"
#include "link/link.h"
#include "link/protocol.h"
#include "qt/qtcontrols.h"
#include "qt/qttcpclient.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

using namespace quillon;
using Clock = std::chrono::steady_clock;

namespace {

double msSince(Clock::time_point origin, Clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(t - origin).count();
}

// The instrument's side of one path, on a thread of its own.
class Receiver
{
public:
    struct Arrival
    {
        Clock::time_point at;
        std::uint8_t command;
        std::uint32_t sequence; // the tuning word of a SetTuningWord
    };

    Receiver(qint64 floodBytesPerSecond) : m_flood(floodBytesPerSecond)
    {
        std::promise<quint16> port;
        m_port = port.get_future();
        m_thread = std::thread([this, p = std::move(port)]() mutable { run(std::move(p)); });
    }
    ~Receiver()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }

    quint16 port() { return m_port.get(); }
    void stop()
    {
        m_stop = true;
        m_thread.join();
    }
    const std::vector<Arrival>& arrivals() const { return m_arrivals; }

private:
    void run(std::promise<quint16> port)
    {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost, 0);
        port.set_value(server.serverPort());
        if (!server.waitForNewConnection(10000))
            return;
        QTcpSocket* socket = server.nextPendingConnection();
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        const QByteArray floodChunk(m_flood > 0 ? std::max<qint64>(1, m_flood / 1000) : 0, '\x55');
        auto nextBeat = Clock::now();
        auto nextFlood = Clock::now();
        std::vector<std::uint8_t> pending;
        while (!m_stop && socket->state() == QAbstractSocket::ConnectedState) {
            const auto now = Clock::now();
            if (now >= nextBeat) {
                socket->write("\x01", 1);
                nextBeat += std::chrono::milliseconds(500);
            }
            if (m_flood > 0 && now >= nextFlood) {
                if (socket->bytesToWrite() < 4 * 1024 * 1024)
                    socket->write(floodChunk);
                nextFlood += std::chrono::milliseconds(1);
            }
            // Wakes at once when bytes come in; also writes what is queued.
            socket->waitForReadyRead(1);
            const QByteArray data = socket->readAll();
            if (data.isEmpty())
                continue;
            const auto at = Clock::now();
            pending.insert(pending.end(), data.begin(), data.end());
            std::size_t i = 0;
            while (i < pending.size()) {
                const auto length = link::messageLength(pending[i]).value_or(1);
                if (pending.size() - i < length)
                    break;
                std::uint32_t sequence = 0;
                if (pending[i] == link::command::SetTuningWord)
                    sequence = std::uint32_t(pending[i + 2]) | std::uint32_t(pending[i + 3]) << 8 |
                               std::uint32_t(pending[i + 4]) << 16 |
                               std::uint32_t(pending[i + 5]) << 24;
                m_arrivals.push_back({at, pending[i], sequence});
                i += length;
            }
            pending.erase(pending.begin(), pending.begin() + std::ptrdiff_t(i));
        }
        socket->abort();
    }

    qint64 m_flood;
    std::future<quint16> m_port;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::vector<Arrival> m_arrivals;
};

struct Stats
{
    std::size_t n = 0;
    double median = 0, p99 = 0, max = 0;
};

Stats stats(std::vector<double> values)
{
    Stats s;
    s.n = values.size();
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    s.median = values[values.size() / 2];
    s.p99 = values[std::min(values.size() - 1, std::size_t(double(values.size()) * 0.99))];
    s.max = values.back();
    return s;
}

void printRow(const char* name, const Stats& s, const char* unit)
{
    std::printf("  %-34s n=%-6zu median %9.3f %s   p99 %9.3f %s   max %9.3f %s\n", name, s.n,
                s.median, unit, s.p99, unit, s.max, unit);
}

void printRatio(const Stats& path, const Stats& baseline)
{
    const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    std::printf("  %-34s median %.2f   p99 %.2f   max %.2f\n", "ratio link / baseline",
                ratio(path.median, baseline.median), ratio(path.p99, baseline.p99),
                ratio(path.max, baseline.max));
}

std::vector<double> heartbeatErrors(const std::vector<Receiver::Arrival>& arrivals,
                                    double nominalMs)
{
    std::vector<double> errors;
    const Receiver::Arrival* last = nullptr;
    for (const auto& a : arrivals) {
        if (a.command != link::command::Heartbeat)
            continue;
        if (last)
            errors.push_back(std::abs(msSince(last->at, a.at) - nominalMs));
        last = &a;
    }
    return errors;
}

std::vector<double> latencies(const std::vector<Receiver::Arrival>& arrivals,
                              const std::map<std::uint32_t, Clock::time_point>& sent)
{
    std::vector<double> us;
    for (const auto& a : arrivals) {
        if (a.command != link::command::SetTuningWord)
            continue;
        const auto it = sent.find(a.sequence);
        if (it != sent.end())
            us.push_back(msSince(it->second, a.at) * 1000.0);
    }
    return us;
}

long residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

class FixedBox : public quillon::TextBox
{
public:
    explicit FixedBox(std::string text) : m_text(std::move(text)) {}
    std::string text() const override { return m_text; }
    void setText(const std::string& text) override { m_text = text; }
    quillon::Colour backColour() const override { return m_colour; }
    void setBackColour(quillon::Colour colour) override { m_colour = colour; }

private:
    std::string m_text;
    quillon::Colour m_colour = link::kLinkDownColour;
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Measures the link's heartbeat interval error and send latency on loopback, each next "
        "to a bare QTimer / QTcpSocket baseline in the same run."));
    parser.addHelpOption();
    const QCommandLineOption secondsOption(QStringLiteral("seconds"),
                                           QStringLiteral("How long to measure (default 5)."),
                                           QStringLiteral("s"), QStringLiteral("5"));
    const QCommandLineOption heartbeatOption(
        QStringLiteral("heartbeat"), QStringLiteral("Heartbeat interval in ms (default 500)."),
        QStringLiteral("ms"), QStringLiteral("500"));
    const QCommandLineOption sendOption(
        QStringLiteral("send-every"),
        QStringLiteral("A latency probe on each path every MS ms (default 20)."),
        QStringLiteral("ms"), QStringLiteral("20"));
    const QCommandLineOption floodOption(
        QStringLiteral("flood"),
        QStringLiteral("Receivers flood their client at RATE bytes/s (default 0: off)."),
        QStringLiteral("rate"), QStringLiteral("0"));
    parser.addOptions({secondsOption, heartbeatOption, sendOption, floodOption});
    parser.process(app);
    const int seconds = std::max(1, parser.value(secondsOption).toInt());
    const int heartbeatMs = std::max(1, parser.value(heartbeatOption).toInt());
    const int sendEveryMs = std::max(1, parser.value(sendOption).toInt());
    const qint64 flood = std::max<qint64>(0, parser.value(floodOption).toLongLong());

    Receiver linkReceiver(flood);
    Receiver baseReceiver(flood);

    // The path under test: the supervisor with the panel's timer and client.
    qt::QtTcpClient client;
    FixedBox ip("127.0.0.1");
    FixedBox port(std::to_string(linkReceiver.port()));
    qt::QtTimer tmrHBout(heartbeatMs, true);
    qt::QtTimer tmrHBin(link::Periods().watchdogMs, true);
    link::Link lnk({client, ip, port, tmrHBout, tmrHBin});
    client.setEvents(lnk.clientEvents());
    tmrHBout.setHandler([&] { lnk.tmrHBout_Timer(); });
    tmrHBin.setHandler([&] { lnk.tmrHBin_Timer(); });

    // The baseline: a bare timer and a bare socket.
    QTcpSocket bare;
    QTimer bareHeartbeat;
    bareHeartbeat.setTimerType(Qt::PreciseTimer);
    bareHeartbeat.setInterval(heartbeatMs);
    QObject::connect(&bareHeartbeat, &QTimer::timeout, [&] {
        bare.write("\x7F", 1);
        bare.flush();
    });
    QObject::connect(&bare, &QAbstractSocket::connected, [&] {
        bare.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        bareHeartbeat.start();
    });
    // Bytes coming back are read and dropped, as the client does.
    QObject::connect(&bare, &QIODevice::readyRead, [&] { bare.readAll(); });

    std::map<std::uint32_t, Clock::time_point> linkSent;
    std::map<std::uint32_t, Clock::time_point> bareSent;
    std::uint32_t sequence = 0;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(sendEveryMs);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        ++sequence;
        const link::Message message = link::setTuningWord(0, sequence);
        const auto viaLink = [&] {
            linkSent[sequence] = Clock::now();
            SkipOnError steps;
            steps.run([&] { lnk.send(message); });
        };
        const auto viaBare = [&] {
            if (bare.state() != QAbstractSocket::ConnectedState)
                return;
            bareSent[sequence] = Clock::now();
            bare.write(reinterpret_cast<const char*>(message.data()), qint64(message.size()));
            bare.flush();
        };
        // Taking turns, so that neither path always goes second.
        if (sequence % 2) {
            viaLink();
            viaBare();
        } else {
            viaBare();
            viaLink();
        }
    });

    long rssStart = 0;
    QTimer::singleShot(0, [&] {
        lnk.connect();
        bare.connectToHost(QHostAddress::LocalHost, baseReceiver.port());
        probe.start();
        rssStart = residentKiB();
    });
    QTimer::singleShot(seconds * 1000, [&] { app.quit(); });
    std::printf("bench-link: %d s on loopback, heartbeat every %d ms, a probe every %d ms%s\n",
                seconds, heartbeatMs, sendEveryMs,
                flood > 0 ? qPrintable(QStringLiteral(", receivers flooding %1 B/s").arg(flood))
                          : "");
    std::fflush(stdout);
    app.exec();
    const long rssEnd = residentKiB();
    const bool linkUp = ip.backColour() == link::kLinkUpColour;

    probe.stop();
    bareHeartbeat.stop();
    lnk.close();
    bare.abort();
    linkReceiver.stop();
    baseReceiver.stop();

    const Stats hbLink = stats(heartbeatErrors(linkReceiver.arrivals(), heartbeatMs));
    const Stats hbBare = stats(heartbeatErrors(baseReceiver.arrivals(), heartbeatMs));
    std::printf("heartbeat interval error |arrival interval - %d ms|:\n", heartbeatMs);
    printRow("Link (QtTimer, QtTcpClient)", hbLink, "ms");
    printRow("baseline (QTimer, QTcpSocket)", hbBare, "ms");
    printRatio(hbLink, hbBare);

    // Before the connection the link's sends fail; those probes have no
    // arrival and drop out.
    const Stats latLink = stats(latencies(linkReceiver.arrivals(), linkSent));
    const Stats latBare = stats(latencies(baseReceiver.arrivals(), bareSent));
    std::printf("send call -> arrival at the receiver:\n");
    printRow("Link::send (QtTcpClient)", latLink, "us");
    printRow("baseline write + flush", latBare, "us");
    printRatio(latLink, latBare);

    std::printf("link indicator at the end: %s; resident memory %ld KiB -> %ld KiB\n",
                linkUp ? "white" : "light red", rssStart, rssEnd);
    return 0;
}
