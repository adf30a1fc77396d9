#include "qlx/ZmqHandshake.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "qlx/ErrorRecord.h"
#include "qlx/Errors.h"
#include "util/Clock.h"

namespace qlx {

enum : int {
    WatchedEvents = ZMQ_EVENT_CONNECTED | ZMQ_EVENT_CONNECT_RETRIED | ZMQ_EVENT_DISCONNECTED |
                    ZMQ_EVENT_HANDSHAKE_SUCCEEDED | ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL |
                    ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL | ZMQ_EVENT_HANDSHAKE_FAILED_AUTH,
    EventFrameSize = 6, /* u16 event, u32 value */
};

HandshakeWatch::~HandshakeWatch()
{
    Stop();
}

void HandshakeWatch::Stop()
{
    if (watched_ != nullptr)
        (void)zmq_socket_monitor(watched_, nullptr, 0);
    watched_ = nullptr;
}

bool HandshakeWatch::Start(void *socket)
{
    static std::atomic<unsigned> Watches{0};
    std::string address = "inproc://qlx-handshake-" + std::to_string(++Watches);
    if (zmq_socket_monitor(socket, address.c_str(), WatchedEvents) != 0) {
        DetailErrno("zmq_socket_monitor", errno);
        return Fail(QLXRC_TRANSPORT, "the connection to the service cannot be watched");
    }
    watched_ = socket;
    if (!events_.Open(ZMQ_PAIR) || !events_.SetInt(ZMQ_LINGER, 0, "ZMQ_LINGER"))
        return false;
    if (zmq_connect(events_.Get(), address.c_str()) == 0)
        return true;
    DetailErrno(("zmq_connect " + address).c_str(), errno);
    return Fail(QLXRC_TRANSPORT, "the connection to the service cannot be watched");
}

/* Takes the next event, with the address frame behind it; 0 when none came
 * within waitMs or a signal came first. */
static uint16_t NextEvent(void *events, int waitMs)
{
    zmq_pollitem_t item{events, -1, ZMQ_POLLIN, 0};
    if (zmq_poll(&item, 1, waitMs) <= 0)
        return 0;
    uint8_t frame[EventFrameSize] = {};
    if (zmq_recv(events, frame, sizeof frame, ZMQ_DONTWAIT) < EventFrameSize)
        return 0;
    char address[256];
    (void)zmq_recv(events, address, sizeof address, ZMQ_DONTWAIT);
    uint16_t event = 0;
    memcpy(&event, frame, sizeof event);
    return event;
}

HandshakeWatch::Outcome HandshakeWatch::Wait(int waitMs, std::string *seen)
{
    uint64_t end = MonotonicNs() + static_cast<uint64_t>(waitMs) * 1000000u;
    unsigned refused = 0;
    bool connected = false;
    for (uint64_t now = MonotonicNs(); now < end; now = MonotonicNs()) {
        uint16_t event = NextEvent(events_.Get(), static_cast<int>((end - now + 999999) / 1000000));
        if (event == ZMQ_EVENT_HANDSHAKE_SUCCEEDED) {
            Stop();
            return Outcome::Answered;
        }
        refused += event == ZMQ_EVENT_CONNECT_RETRIED ? 1 : 0;
        connected = connected || event == ZMQ_EVENT_CONNECTED;
        if (event == ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL) {
            *seen = "the handshake broke off: the two sides use different security "
                    "mechanisms or keys, or the peer does not speak ZeroMQ's protocol";
            return Outcome::Refused;
        }
        if (event == ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL) {
            *seen = "the handshake failed: the keys of the two sides do not match";
            return Outcome::Refused;
        }
        if (event == ZMQ_EVENT_HANDSHAKE_FAILED_AUTH) {
            *seen = "the service refused this client's key";
            return Outcome::Refused;
        }
    }
    std::string wait = std::to_string(waitMs / 1000) + " s";
    if (connected)
        *seen = "a connection was made, but nothing answered ZeroMQ's handshake within " + wait;
    else if (refused > 0)
        *seen = "no connection could be made within " + wait + ": " + std::to_string(refused) +
                " attempts failed";
    else
        *seen = "no connection could be made within " + wait;
    return Outcome::Silent;
}

} // namespace qlx
