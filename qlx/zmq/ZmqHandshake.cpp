#include "qlx/zmq/ZmqHandshake.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "qlx/ErrorRecord.h"
#include "qlx/core/Errors.h"
#include "qlx/core/MonotonicClock.h"

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

bool WatchEvents(void *socket, int events, Socket *pair)
{
    static std::atomic<unsigned> Watches{0};
    std::string address = "inproc://qlx-events-" + std::to_string(++Watches);
    if (zmq_socket_monitor(socket, address.c_str(), events) != 0) {
        int error = errno;
        if (OutOfDescriptors(error))
            return FailOutOfDescriptors("a socket monitor", error);
        DetailZmqErrno("zmq_socket_monitor", error);
        return Fail(QLXRC_TRANSPORT, "the connection to the service cannot be watched");
    }
    if (!pair->Open(ZMQ_PAIR) || !pair->SetInt(ZMQ_LINGER, 0, "ZMQ_LINGER"))
        return false;
    if (zmq_connect(pair->Get(), address.c_str()) == 0)
        return true;
    DetailZmqErrno(("zmq_connect " + address).c_str(), errno);
    return Fail(QLXRC_TRANSPORT, "the connection to the service cannot be watched");
}

bool HandshakeWatch::Start(void *socket)
{
    watched_ = socket;
    return WatchEvents(socket, WatchedEvents, &events_);
}

uint16_t NextEvent(void *events, int waitMs, uint32_t *value)
{
    zmq_pollitem_t item{events, -1, ZMQ_POLLIN, 0};
    if (waitMs != 0 && zmq_poll(&item, 1, waitMs) <= 0)
        return 0;
    uint8_t frame[EventFrameSize] = {};
    if (zmq_recv(events, frame, sizeof frame, ZMQ_DONTWAIT) < EventFrameSize)
        return 0;
    char address[256];
    (void)zmq_recv(events, address, sizeof address, ZMQ_DONTWAIT);
    uint16_t event = 0;
    memcpy(&event, frame, sizeof event);
    memcpy(value, frame + sizeof event, sizeof *value);
    return event;
}

/* Whether this client's socket goes under CurveZMQ keys. */
static bool UsesKeys(void *socket)
{
    int mechanism = ZMQ_NULL;
    size_t size = sizeof mechanism;
    return zmq_getsockopt(socket, ZMQ_MECHANISM, &mechanism, &size) == 0 && mechanism == ZMQ_CURVE;
}

/* What a handshake that broke off tells, from this client's side: a service
 * with keys and a client without them, and the other way round, differ in
 * their mechanisms; other breaks are a peer that speaks no ZeroMQ. */
static std::string BrokenHandshakeText(uint32_t error, bool keys)
{
    if (error != ZMQ_PROTOCOL_ERROR_ZMTP_MECHANISM_MISMATCH) {
        char code[16];
        (void)snprintf(code, sizeof code, "0x%08x", static_cast<unsigned>(error));
        return std::string("the handshake broke off (ZeroMQ protocol error ") + code +
               "): the peer may not speak ZeroMQ's protocol";
    }
    if (keys)
        return "the service does not use keys: unset QLX_CURVE_KEY and QLX_CURVE_SERVER";
    return "no client key is set, and the service uses keys: set QLX_CURVE_KEY and "
           "QLX_CURVE_SERVER";
}

HandshakeWatch::Outcome HandshakeWatch::Wait(int waitMs, std::string *seen)
{
    uint64_t end = MonotonicNs() + static_cast<uint64_t>(waitMs) * 1000000u;
    unsigned refused = 0;
    bool connected = false;
    bool keys = UsesKeys(watched_);
    for (uint64_t now = MonotonicNs(); now < end; now = MonotonicNs()) {
        uint32_t value = 0;
        uint16_t event =
            NextEvent(events_.Get(), static_cast<int>((end - now + 999999) / 1000000), &value);
        if (event == ZMQ_EVENT_HANDSHAKE_SUCCEEDED) {
            Stop();
            return Outcome::Answered;
        }
        refused += event == ZMQ_EVENT_CONNECT_RETRIED ? 1 : 0;
        connected = connected || event == ZMQ_EVENT_CONNECTED;
        if (event == ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL) {
            *seen = BrokenHandshakeText(value, keys);
            return Outcome::Refused;
        }
        if (event == ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL) {
            *seen = "the service broke off the handshake: QLX_CURVE_SERVER may not hold its key";
            return Outcome::Refused;
        }
        if (event == ZMQ_EVENT_HANDSHAKE_FAILED_AUTH) {
            *seen = "the service does not list this client's key";
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
