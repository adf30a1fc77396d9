#include "qlx/zmq/ZmqClient.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

#include "qlx/ErrorRecord.h"
#include "qlx/core/Errors.h"
#include "qlx/zmq/IpcTrust.h"
#include "qlx/zmq/ServiceReach.h"
#include "qlx/zmq/ZmqCurve.h"
#include "qlx/zmq/ZmqHandshake.h"
#include "qlx/core/MonotonicClock.h"

namespace qlx {

/* Closed with its monitor on, the socket did not deliver what it still
 * held within its linger (libzmq 4.3.4): the monitor ends first. */
ZmqClientTransport::~ZmqClientTransport()
{
    if (events_.Get() != nullptr)
        (void)zmq_socket_monitor(socket_.Get(), nullptr, 0);
}

bool ZmqClientTransport::Open(const char *nameField, size_t fieldSize, const std::string &name)
{
    if (!RuntimeDirectoryPresent(name) || !ResolveEndpoint(nameField, fieldSize, false, &endpoint_))
        return false;
    if (!endpoint_.SocketPath.empty() && !TrustIpcSocket(endpoint_.SocketPath))
        return false;
    Reach reach = CheckReach(name, endpoint_);
    if (reach == Reach::None)
        return false;
    if (!socket_.Open(ZMQ_DEALER))
        return false;
    name_ = name;
    checks_ = !endpoint_.SocketPath.empty();
    bool ok = socket_.SetInt(ZMQ_LINGER, ClientLingerMs, "ZMQ_LINGER") &&
              socket_.SetInt(ZMQ_SNDHWM, ClientQueueLimit, "ZMQ_SNDHWM") &&
              socket_.SetInt(ZMQ_RCVHWM, ClientQueueLimit, "ZMQ_RCVHWM") &&
              (!checks_ || socket_.SetInt(ZMQ_RECONNECT_IVL, -1, "ZMQ_RECONNECT_IVL")) &&
              socket_.KeepPeersAlive();
    if (!ok || !SecureClient(socket_.Get(), endpoint_.Address))
        return false;
    if (checks_ && reach == Reach::Live)
        return Watch(false) && ConnectChecked(name);
    HandshakeWatch watch;
    bool started =
        reach == Reach::Unknown ? watch.Start(socket_.Get(), endpoint_.SocketPath) : Watch(false);
    if (!started)
        return false;
    if (zmq_connect(socket_.Get(), endpoint_.Address.c_str()) != 0) {
        DetailZmqErrno(("zmq_connect " + endpoint_.Address).c_str(), errno);
        return Fail(QLXRC_TRANSPORT, "service element %s cannot be connected", name.c_str());
    }
    if (reach != Reach::Unknown)
        return true;
    std::string seen;
    switch (watch.Wait(HandshakeWaitMs, &seen)) {
    case HandshakeWatch::Outcome::Answered:
        connected_ = verified_ = true;
        return Watch(true);
    case HandshakeWatch::Outcome::Untrusted:
        (void)zmq_disconnect(socket_.Get(), endpoint_.Address.c_str());
        return false;
    case HandshakeWatch::Outcome::Refused:
        return Fail(QLXRC_KEYS, "service element %s at %s did not let this client in: %s",
                    name.c_str(), endpoint_.Address.c_str(), seen.c_str());
    case HandshakeWatch::Outcome::Silent:
        break;
    }
    return FailNotServed(name, seen);
}

/* Watches the socket for the end of a served connection from now on;
 * served tells whether the connection now made was served already. */
bool ZmqClientTransport::Watch(bool served)
{
    served_ = served;
    int events = ZMQ_EVENT_HANDSHAKE_SUCCEEDED | ZMQ_EVENT_DISCONNECTED;
    return WatchEvents(socket_.Get(), checks_ ? events | ZMQ_EVENT_CONNECTED : events, &events_);
}

/* A connection that closes without having been served (a service at its
 * connection limit, a handshake refused) is no service going away. A
 * connection to a peer this client does not trust is dropped at once; one
 * whose peer could not be checked (already closed) is never taken as up. */
void ZmqClientTransport::TakeEvent(uint16_t event, uint32_t value)
{
    if (event == ZMQ_EVENT_CONNECTED && checks_) {
        PeerTrust trust =
            TrustIpcPeer(static_cast<int>(value), endpoint_.SocketPath, &refusedUser_);
        verified_ = trust == PeerTrust::Trusted;
        refused_ = refused_ || trust == PeerTrust::Refused;
        if (trust == PeerTrust::Refused)
            (void)zmq_disconnect(socket_.Get(), endpoint_.Address.c_str());
        return;
    }
    if (event == ZMQ_EVENT_CONNECTED || event == 0)
        return;
    if (event == ZMQ_EVENT_DISCONNECTED && served_)
        gone_ = true;
    served_ = event == ZMQ_EVENT_HANDSHAKE_SUCCEEDED;
    connected_ = served_ && verified_;
    verified_ = verified_ && event != ZMQ_EVENT_DISCONNECTED;
}

void ZmqClientTransport::TakeEvents()
{
    uint32_t value = 0;
    for (uint16_t event = NextEvent(events_.Get(), 0, &value); event != 0;
         event = NextEvent(events_.Get(), 0, &value))
        TakeEvent(event, value);
}

/* Whether the process can still open a descriptor: ZeroMQ's connect, made
 * on its own thread, says nothing when it cannot. */
static bool DescriptorLeft(int *error)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    *error = fd < 0 ? errno : 0;
    if (fd >= 0)
        (void)close(fd);
    return fd >= 0 || !OutOfDescriptors(*error);
}

/* Connects the ipc:// socket and waits up to HandshakeWaitMs for a checked
 * connection to be served, connecting again every ConnectRetryMs while none
 * is made (ZeroMQ's own reconnects are off). False, with the error
 * recorded, when the peer is not trusted or nothing answers in time. */
bool ZmqClientTransport::ConnectChecked(const std::string &name)
{
    uint64_t end = MonotonicNs() + uint64_t{HandshakeWaitMs} * 1000000u;
    bool made = false;
    for (uint64_t now = MonotonicNs(); now < end && !connected_ && !refused_; now = MonotonicNs()) {
        if (!made) {
            (void)zmq_disconnect(socket_.Get(), endpoint_.Address.c_str());
            if (zmq_connect(socket_.Get(), endpoint_.Address.c_str()) != 0) {
                DetailZmqErrno(("zmq_connect " + endpoint_.Address).c_str(), errno);
                return Fail(QLXRC_TRANSPORT, "service element %s cannot be connected",
                            name.c_str());
            }
        }
        uint32_t value = 0;
        uint16_t event = NextEvent(events_.Get(), ConnectRetryMs, &value);
        made = event == ZMQ_EVENT_CONNECTED || (made && event != ZMQ_EVENT_DISCONNECTED);
        TakeEvent(event, value);
        int error = 0;
        if (!made && !DescriptorLeft(&error))
            return FailOutOfDescriptors(("a connection to " + endpoint_.SocketPath).c_str(), error);
    }
    if (refused_)
        return false;
    if (connected_)
        return true;
    (void)zmq_disconnect(socket_.Get(), endpoint_.Address.c_str());
    return FailNotServed(name, "no connection to " + endpoint_.SocketPath +
                                   " was answered within " +
                                   std::to_string(HandshakeWaitMs / 1000) + " s");
}

/* Before a send over ipc://: a refused peer refuses every send, and a
 * connection that ended is made again, checked, while a service is there. */
SendResult ZmqClientTransport::Reconnect()
{
    TakeEvents();
    if (refused_) {
        FailUntrustedPeer(refusedUser_, endpoint_.SocketPath);
        return SendResult::Refused;
    }
    if (connected_)
        return SendResult::Sent;
    if (CheckReach(name_, endpoint_) == Reach::None)
        return SendResult::Refused;
    return ConnectChecked(name_) ? SendResult::Sent : SendResult::Refused;
}

bool ZmqClientTransport::Settle()
{
    TakeEvents();
    int events = 0;
    size_t size = sizeof events;
    bool replies = zmq_getsockopt(socket_.Get(), ZMQ_EVENTS, &events, &size) == 0 &&
                   (events & ZMQ_POLLIN) != 0;
    return gone_ || replies;
}

/* Waits up to waitMs (negative: no end) for a reply or an event, reading
 * the events that came. 1 when something came, 0 when nothing did, -1 when
 * the wait failed or a signal cut it short (errno tells which). */
int ZmqClientTransport::WaitEither(int32_t waitMs)
{
    zmq_pollitem_t items[] = {{socket_.Get(), -1, ZMQ_POLLIN, 0},
                              {events_.Get(), -1, ZMQ_POLLIN, 0}};
    int polled = zmq_poll(items, 2, waitMs < 0 ? -1L : long{waitMs});
    if (polled > 0 && (items[1].revents & ZMQ_POLLIN))
        TakeEvents();
    return polled;
}

ReceiveResult ZmqClientTransport::Receive(Deadline *deadline, Inbound *message)
{
    int32_t wait = 0;
    bool more = deadline->NextPart(&wait);
    for (;;) {
        /* The replies that came before the service left are queued by the
         * time its leaving is read: they go first. */
        Deadline look(0);
        ReceiveResult result = received_.Receive(socket_.Get(), &look);
        if (result == ReceiveResult::Received) {
            message->Peer = Frame{};
            message->Frames = received_.Frames();
            message->FrameCount = received_.PartCount();
        }
        if (result != ReceiveResult::Empty)
            return result;
        if (gone_) {
            gone_ = false;
            return ReceiveResult::Gone;
        }
        if (!more)
            return ReceiveResult::Empty;
        if (wait == 0) {
            TakeEvents();
            more = false;
            continue;
        }
        int polled = WaitEither(wait);
        if (polled < 0 && errno == EINTR)
            return ReceiveResult::Interrupted;
        if (polled < 0) {
            DetailZmqErrno("zmq_poll", errno);
            return ReceiveResult::Failed;
        }
        /* An event alone is no reply: the wait goes on for what is left. */
        more = polled == 0 ? deadline->PartRanOut(&wait) : deadline->NextPart(&wait);
    }
}

SendResult ZmqClientTransport::Send(const Outbound &message)
{
    if (checks_) {
        SendResult ready = Reconnect();
        if (ready != SendResult::Sent)
            return ready;
    }
    uint8_t header[HeaderSize];
    EncodeHeader(message.Head, header);
    const Frame frames[] = {Frame{header, HeaderSize}, message.MsgId, message.Data};
    return SendMessage(socket_.Get(), frames, 3);
}

} // namespace qlx
