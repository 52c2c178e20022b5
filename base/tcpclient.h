#pragma once

// The TCP client as the link sees it: a client-side socket with the platform's
// fixed state numbers, four events and a report of state changes.
// qt/qttcpclient.h implements it on QTcpSocket; the contract below is what the
// link relies on.
//
//  - state() reflects the last transition at once;
//  - connect() is made only in state Closed and returns at once; the client
//    passes through ResolvingHost/HostResolved and Connecting and ends in
//    Connected with a Connect event, or in Error with an Error event;
//  - sendData() succeeds only in Connected and throws quillon::Failure at once
//    in any other state;
//  - between holdSends() and its releaseSends() the messages sent wait, in
//    their order, and leave together at the release (holds nest; the
//    outermost release sends). close() sends what is held first;
//  - close(), in any state, puts the client in Closed before it returns and
//    raises no event;
//  - when the instrument closes its side the client goes to Closing and raises
//    Close; it stays there until it is closed;
//  - each arrival of new bytes raises DataArrival once; the bytes are read and
//    thrown away;
//  - arrivalPending() tells whether bytes have arrived whose DataArrival has
//    not been handled yet (still in the network stack, or the event on its
//    way): after a stall of the GUI thread a due timer may be handled before
//    the socket's news;
//  - a change of state that comes with no event and outside any call (a host
//    looked up, now connecting) is reported through stateChanged;
//  - events are never raised inside a call to this interface.

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace quillon {

class TcpClient
{
public:
    enum State : int
    {
        Closed = 0,
        Open = 1,
        Listening = 2,
        ConnectionPending = 3,
        ResolvingHost = 4,
        HostResolved = 5,
        Connecting = 6,
        Connected = 7,
        Closing = 8,
        Error = 9,
    };

    struct Events
    {
        std::function<void()> connect;
        std::function<void()> close;
        std::function<void()> dataArrival;
        std::function<void()> error;
        std::function<void()> stateChanged;
    };

    virtual ~TcpClient() = default;

    virtual int state() const = 0;
    // Host and port as the operator typed them; a host or port that cannot be
    // used makes the attempt fail (Error), it does not throw.
    virtual void connect(const std::string& host, const std::string& port) = 0;
    virtual void sendData(std::span<const std::uint8_t> bytes) = 0;
    // A client that writes each message at once keeps the contract as it is.
    virtual void holdSends() {}
    virtual void releaseSends() {}
    virtual void close() = 0;
    virtual void setEvents(Events events) = 0;
    virtual bool arrivalPending() const = 0;
};

} // namespace quillon
