// quillon-sim: a stand-in for the laser offset-lock instrument on loopback or
// any address given, for trying the panel without hardware and for tests.

#include "sim/simserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>

#include <csignal>
#include <cstdio>

#if defined(Q_OS_UNIX)
#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

using quillon::sim::Options;
using quillon::sim::SimServer;

constexpr qint64 kDefaultFloodRate = 50'000'000;

const char* const kDescription =
    "Stands in for the laser offset-lock instrument: a TCP server that takes one\n"
    "client at a time (a new connection replaces the old one), sends one byte back\n"
    "every beat so the panel's watchdog sees a live instrument, and prints one line\n"
    "per message the client sends:\n"
    "\n"
    "  <ms since start>  <hex bytes>  <command name>  <decoded arguments>\n"
    "\n"
    "The stream is split by the commands' fixed lengths; a byte that starts no known\n"
    "command is reported as \"unknown command byte\" and skipped. Tuning words are\n"
    "shown in decimal and hex with the DDS frequency they mean at --sysclk;\n"
    "charge-pump codes are shown as the levels they select.\n"
    "\n"
    "The simulator keeps the instrument's state (both slot words, active slot,\n"
    "prescalers, charge-pump code, offset sign) and prints it as one \"state:\" line\n"
    "on SIGUSR1, after every message with --state, and when it stops.\n"
    "\n"
    "It prints \"listening on ADDRESS:PORT\" (or \"refusing on ADDRESS:PORT\") when\n"
    "ready; with --port 0 the port is the one the system picked. Other events are\n"
    "printed as lines starting \"-- \". Times count fault modes from each client's\n"
    "connection. SIGTERM and SIGINT stop it cleanly (exit status 0).";

// QCommandLineParser has no options with an optional value; "--flood" alone
// means the default rate.
QStringList withFloodRate(QStringList args)
{
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] != QStringLiteral("--flood"))
            continue;
        const bool hasValue = i + 1 < args.size() && !args[i + 1].startsWith(u'-');
        if (!hasValue)
            args.insert(i + 1, QString::number(kDefaultFloodRate));
    }
    return args;
}

#if defined(Q_OS_UNIX)
int g_signalPipe[2] = {-1, -1};

extern "C" void onSignal(int number)
{
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const auto written = ::write(g_signalPipe[1], &byte, 1);
}
#else
volatile std::sig_atomic_t g_stopRequested = 0;

extern "C" void onSignal(int)
{
    g_stopRequested = 1;
}
#endif

// Signals arrive outside the event loop; they are handed to it so that the
// simulator stops between two events, with the record complete.
void watchSignals(QCoreApplication& app, SimServer& server)
{
#if defined(Q_OS_UNIX)
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app, &server] {
        char byte = 0;
        if (::read(g_signalPipe[0], &byte, 1) != 1)
            return;
        if (byte == SIGUSR1) {
            server.printState();
            return;
        }
        server.stop();
        app.quit();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGUSR1, &action, nullptr);
#else
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    auto* poll = new QTimer(&app);
    QObject::connect(poll, &QTimer::timeout, &app, [&app, &server] {
        if (g_stopRequested) {
            server.stop();
            app.quit();
        }
    });
    poll->start(100);
#endif
}

bool parseMs(const QCommandLineParser& parser, const QString& name, int* out, QString* error)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const int value = parser.value(name).toInt(&ok);
    if (!ok || value < 0) {
        *error = QStringLiteral("--%1 takes milliseconds, 0 or more").arg(name);
        return false;
    }
    *out = value;
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    // One line at a time, so that a test or a pipe sees each line as it is
    // printed. The Windows C runtime has no line buffering (_IOLBF buffers
    // fully there, and a size of 0 is an invalid parameter that ends the
    // program): no buffering at all instead.
#ifdef _WIN32
    std::setvbuf(stdout, nullptr, _IONBF, 0);
#else
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
#endif
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillon-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(kDescription));
    parser.addHelpOption();
    const auto opt = [](const char* name, const char* text, const char* value = nullptr) {
        return value ? QCommandLineOption(QString::fromLatin1(name), QString::fromUtf8(text),
                                          QString::fromLatin1(value))
                     : QCommandLineOption(QString::fromLatin1(name), QString::fromUtf8(text));
    };
    parser.addOptions({
        opt("listen", "Address to listen on (default 127.0.0.1).", "address"),
        opt("port", "Port to listen on (default 1111; 0 lets the system pick one).", "port"),
        opt("beat", "Send one byte back every MS milliseconds (default 500; 0 sends none).", "ms"),
        opt("sysclk",
            "DDS system clock in MHz, for showing what tuning words mean "
            "(default 983.04).",
            "mhz"),
        opt("state", "Print the instrument's state after every message."),
        opt("quiet", "Print no line per message (unknown bytes are still reported)."),
        opt("record",
            "Write every message received to FILE, one line each: \"<ms since start> <hex "
            "bytes>\" (an unknown byte gets a line of its own).",
            "file"),
        opt("steady-clock",
            "Give every time as milliseconds of the system's steady clock (CLOCK_MONOTONIC on "
            "Linux) instead of since start, to line up with other programs' clocks."),
        opt("refuse", "Refuse every connection: the port is held but nothing listens."),
        opt("refuse-for", "Refuse connections for MS milliseconds after start, then listen.", "ms"),
        opt("silent-after", "Stop sending anything MS milliseconds after each connection.", "ms"),
        opt("close-after", "Close the connection (FIN) MS milliseconds after each connection.",
            "ms"),
        opt("reset-after", "Reset the connection (RST) MS milliseconds after each connection.",
            "ms"),
        opt("flood",
            "Send bytes continuously at RATE bytes per second (default 50000000 when RATE "
            "is left out): \"--flood\" or \"--flood RATE\".",
            "rate"),
        opt("no-read", "Never read from the client: its data backs up in TCP."),
        opt("exit-after", "Stop MS milliseconds after start.", "ms"),
    });
    parser.process(withFloodRate(QCoreApplication::arguments()));

    Options options;
    QString error;
    if (parser.isSet(QStringLiteral("listen")) &&
        !options.address.setAddress(parser.value(QStringLiteral("listen"))))
        error = QStringLiteral("--listen takes an IP address");
    if (parser.isSet(QStringLiteral("port"))) {
        bool ok = false;
        const uint port = parser.value(QStringLiteral("port")).toUInt(&ok);
        if (!ok || port > 65535)
            error = QStringLiteral("--port takes 0 to 65535");
        options.port = static_cast<quint16>(port);
    }
    if (parser.isSet(QStringLiteral("sysclk"))) {
        bool ok = false;
        options.systemClockMHz = parser.value(QStringLiteral("sysclk")).toDouble(&ok);
        if (!ok || !(options.systemClockMHz > 0))
            error = QStringLiteral("--sysclk takes a frequency in MHz above 0");
    }
    if (parser.isSet(QStringLiteral("flood"))) {
        bool ok = false;
        options.floodBytesPerSecond = parser.value(QStringLiteral("flood")).toLongLong(&ok);
        if (!ok || options.floodBytesPerSecond <= 0)
            error = QStringLiteral("--flood takes a rate in bytes per second above 0");
    }
    if (error.isEmpty()) {
        const bool ok =
            parseMs(parser, QStringLiteral("beat"), &options.beatMs, &error) &&
            parseMs(parser, QStringLiteral("refuse-for"), &options.refuseForMs, &error) &&
            parseMs(parser, QStringLiteral("silent-after"), &options.silentAfterMs, &error) &&
            parseMs(parser, QStringLiteral("close-after"), &options.closeAfterMs, &error) &&
            parseMs(parser, QStringLiteral("reset-after"), &options.resetAfterMs, &error) &&
            parseMs(parser, QStringLiteral("exit-after"), &options.exitAfterMs, &error);
        Q_UNUSED(ok);
    }
    options.printStateEachMessage = parser.isSet(QStringLiteral("state"));
    options.quiet = parser.isSet(QStringLiteral("quiet"));
    options.steadyClock = parser.isSet(QStringLiteral("steady-clock"));
    options.refuse = parser.isSet(QStringLiteral("refuse"));
    options.noRead = parser.isSet(QStringLiteral("no-read"));
    options.recordPath = parser.value(QStringLiteral("record"));
    if (!error.isEmpty()) {
        std::fprintf(stderr, "quillon-sim: %s\n", qPrintable(error));
        return 2;
    }

    SimServer server(options, stdout);
    if (!server.start(&error)) {
        std::fprintf(stderr, "quillon-sim: %s\n", qPrintable(error));
        return 1;
    }
    watchSignals(app, server);
    if (options.exitAfterMs >= 0)
        QTimer::singleShot(options.exitAfterMs, &app, [&app, &server] {
            server.stop();
            app.quit();
        });
    return app.exec();
}
