#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

namespace quillon::app {

// Turns SIGTERM, SIGINT and SIGHUP into a normal close of the window, so that a
// logout or a service stop still saves the settings. A signal handler may only
// do async-signal-safe work: it writes one byte to a socket pair, and a
// QSocketNotifier on the other end runs `onSignal` from the event loop, never
// inside a running handler.
class TerminationSignals : public QObject
{
    Q_OBJECT
public:
    explicit TerminationSignals(std::function<void()> onSignal, QObject* parent = nullptr);
    ~TerminationSignals() override;

private:
    std::function<void()> m_onSignal;
    QSocketNotifier* m_notifier = nullptr;
};

} // namespace quillon::app
