#pragma once

// The link as the window wires it, for tests: the supervisor over the given
// client, boxes and timers, and the connect-time initialisation at every
// connect, with stand-ins for the window's three actions that send the
// start-up choices (A9 61 00, B0 01, A8 02) in skip-on-error mode, as the real
// actions do. The caller routes the client's events and the timers' ticks.

#include "base/steps.h"
#include "link/connectinit.h"
#include "link/link.h"

#include <functional>
#include <utility>

namespace quillon::test {

class WiredLink
{
    std::function<void()> m_atConnect;

public:
    // `atConnect` runs inside each Connect, after the indicator and the
    // timers and before the initialisation.
    WiredLink(quillon::TcpClient& client, quillon::TextBox& txtIP, const quillon::TextBox& txtPort,
              quillon::Timer& tmrHBout, quillon::Timer& tmrHBin,
              std::function<void()> atConnect = {})
        : m_atConnect(std::move(atConnect)), link({client, txtIP, txtPort, tmrHBout, tmrHBin}),
          init(link, {action(link::setChargePumpCurrents(1, 1, 1)),
                      action(link::setRosaPrescaler(1)), action(link::setDdsPrescaler(2))})
    {
        link.setConnected([this] {
            if (m_atConnect)
                m_atConnect();
            init.run();
        });
    }

    link::Link link;
    link::ConnectTimeInit init;

private:
    std::function<void()> action(link::Message message)
    {
        return [this, message] {
            SkipOnError steps;
            steps.run([&] { link.send(message); });
        };
    }
};

} // namespace quillon::test
