/* The seam between the library's service and client logic and the transport
 * that carries QLX/1 messages between processes. A transport delivers each
 * message as its frames (header, message id, data) with the peer it came
 * from, and sends replies to a peer; it never decodes or judges a message.
 * The logic above it (classification, the request table, refusals,
 * statistics, limits) knows no transport. */
#ifndef TFX_QLX_TRANSPORT_H
#define TFX_QLX_TRANSPORT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "qlx/ClientRecords.h"
#include "qlx/core/Deadline.h"
#include "qlx/core/Wire.h"

namespace qlx {

/* One received message, valid until the next receive on its transport. */
struct Inbound {
    const Frame *Frames; /* the first min(FrameCount, KeptFrames) frames */
    size_t FrameCount;   /* the frames the message came in */
    Frame Peer;          /* opaque: who sent it, and where its replies go */
    /* It came where only stop requests may come, and anything else there is
     * malformed: every instance of a name hears it, not one of them. */
    bool StopsOnly = false;
};
enum : size_t { KeptFrames = FramesPerMessage };

/* One message to send: its header, message id and data. */
struct Outbound {
    Header Head;
    Frame MsgId;
    Frame Data;
};

enum class ReceiveResult {
    Received,
    Empty,       /* nothing came within the deadline */
    Interrupted, /* a signal cut the wait short */
    Failed,      /* the transport failed (recorded) */
    /* The client's connection was lost and made again: the replies of what
     * was outstanding then may never come. */
    Lost,
    /* The service closed the connection it served this client on: nothing
     * outstanding then will be answered by it. Reported once, after every
     * reply that came before. */
    Gone,
    /* After StopReceiving: everything taken before the stop was delivered. */
    Drained,
};

enum class SendResult {
    Sent,
    Gone,      /* the peer is gone: nothing was sent */
    Full,      /* the queue towards the peer is full: nothing was sent */
    Failed,    /* the transport failed (recorded) */
    TooLarge,  /* the message is over what the transport carries: nothing was sent */
    NotServed, /* nobody serves the element: the message went nowhere */
    Lost,      /* the connection went down under it: it may not have gone */
    Refused,   /* the transport refused the peer (recorded): nothing was sent */
};

/* What a wait for replies watches: a ZeroMQ socket, or else a descriptor that
 * turns readable when a reply may be there; and a ZeroMQ socket, or null, that
 * turns readable when the service's side may have closed. */
struct WaitTarget {
    void *Socket;
    int Fd;
    void *Watch = nullptr;
};

/* The service side: bound to the element's endpoint, for as long as it
 * lives. */
class ServiceTransport {
  public:
    virtual ~ServiceTransport() = default;
    /* Takes the next whole message, waiting as the deadline allows. */
    virtual ReceiveResult Receive(Deadline *deadline, Inbound *message) = 0;
    /* Sends one message to peer. A peer that has gone or does not read is
     * Gone or Full, never a failure. */
    virtual SendResult Send(Frame peer, const Outbound &message) = 0;
    /* Called once a stop request was seen. True when messages taken before
     * it may still be on their way: Receive then delivers them and reports
     * Drained once they are all out. False when everything taken before the
     * stop was delivered already. */
    virtual bool StopReceiving() { return false; }
    /* Messages the transport lost before they could be received. */
    virtual uint64_t Dropped() const { return 0; }
    /* Clients refused at their handshake for a key not allowed, so far. */
    virtual uint64_t KeysRefused() const { return 0; }
    /* Fills in what only the transport knows: its name, its connections and
     * the reply bytes it holds. */
    virtual void AddCounters(QLXSTATS *) const {}
};

/* The client side: connected to one service element. */
class ClientTransport {
  public:
    virtual ~ClientTransport() = default;
    virtual ReceiveResult Receive(Deadline *deadline, Inbound *message) = 0;
    /* Sends one message to the service without waiting for room. */
    virtual SendResult Send(const Outbound &message) = 0;
    virtual WaitTarget WaitOn() const = 0;
    /* After a wait that its target ended: reads what the watch holds, and
     * tells whether Receive has something to report without waiting. */
    virtual bool Settle() { return true; }
    /* Whether Receive may report Lost; and how many losses it has reported
     * or is about to: a transaction sent while this count was lower than at
     * a Lost is taken as lost with it. */
    virtual bool ReportsLosses() const { return false; }
    virtual uint64_t Losses() const { return 0; }
};

/* What Service and Client are handed to open their transport: it opens the
 * transport of the element in nameField (132 bytes, terminated or not; name
 * is its printable form for texts), or records the error and returns null. */
using ServiceTransportOpener = std::unique_ptr<ServiceTransport> (*)(const char *nameField,
                                                                     size_t fieldSize,
                                                                     const std::string &name);
using ClientTransportOpener = std::unique_ptr<ClientTransport> (*)(const char *nameField,
                                                                   size_t fieldSize,
                                                                   const std::string &name);

} // namespace qlx

#endif
