#pragma once

// The simulator's TCP side: listens where it is told, takes one client at a
// time (a new connection replaces the old one), sends a byte back every beat
// so the panel sees a live instrument, prints each message the client sends,
// and misbehaves on request so that tests can see how the panel copes.

#include "sim/instrument.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdio>
#include <memory>

class QTcpServer;
class QTcpSocket;
class QTimer;

namespace quillon::sim {

struct Options
{
    QHostAddress address{QHostAddress::LocalHost};
    quint16 port = 1111;
    int beatMs = 500; // 0: never send anything back
    double systemClockMHz = 983.04;
    bool printStateEachMessage = false;
    QString recordPath;
    bool quiet = false; // no line per message
    // Times as the system's steady clock (CLOCK_MONOTONIC on Linux) instead of
    // since start, so that another program's clock readings line up with them.
    bool steadyClock = false;
    // Fault modes; times count from each client's connection, -1 is off.
    bool refuse = false;
    int refuseForMs = -1; // refuse for this long after start, then listen
    int silentAfterMs = -1;
    int closeAfterMs = -1;
    int resetAfterMs = -1;
    qint64 floodBytesPerSecond = 0;
    bool noRead = false;
    int exitAfterMs = -1;
};

class SimServer : public QObject
{
public:
    SimServer(Options options, std::FILE* out);
    ~SimServer() override;

    // Binds and listens (or binds and refuses); false with a reason when the
    // address cannot be had.
    bool start(QString* error);
    void printState();
    // Ends the current client and stops listening; prints the final state.
    void stop();

private:
    void acceptClient();
    void startListening();
    void onReadyRead();
    void onClientGone(QTcpSocket* client);
    void sendBeat();
    void flood();
    void resetClient();
    void dropClient();
    void line(const std::string& text);
    double now() const;

    Options m_options;
    std::FILE* m_out;
    std::FILE* m_record = nullptr;
    QElapsedTimer m_clock;
    Instrument m_instrument;
    QTcpServer* m_server;
    QPointer<QTcpSocket> m_client;
    QTimer* m_beat;
    QTimer* m_flood;
    QByteArray m_floodChunk;
    quint16 m_boundPort = 0;
    // A socket bound to the port but not listening: connections to it are
    // refused at once while the port stays ours.
    qintptr m_refusingSocket = -1;
    // Where a port cannot be held without listening: accept and drop at once.
    bool m_refusing = false;
    bool m_stopped = false;
};

} // namespace quillon::sim
