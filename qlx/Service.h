/* The service side of a connection: one ROUTER socket bound to the element's
 * endpoint, the transactions being answered, and the buffer handed out. */
#ifndef TFX_QLX_SERVICE_H
#define TFX_QLX_SERVICE_H

#include <memory>
#include <string>
#include <vector>

#include "qlx/ClientRecords.h"
#include "qlx/ServiceRecords.h"
#include "qlx/Connection.h"
#include "qlx/Endpoint.h"
#include "qlx/RequestTable.h"
#include "qlx/Transport.h"

namespace qlx {

enum : uint32_t {
    MaxDataSize = 1u << 20,     /* larger data is refused */
    MaxFrameSize = 2u << 20,    /* a larger frame drops the sender's connection */
    MaxOpenTransactions = 4096, /* further transactions are refused */
    /* Messages received and queued per peer: with the frame limit, 256 MiB
     * of data at the very most. ZeroMQ does not limit the frames of one
     * message, and holds each (about 64 bytes when empty) until the whole
     * message can be read. */
    ReceiveQueueLimit = 128,
    /* Replies queued per peer, ZeroMQ's own default. Fewer would make a fast
     * train of responses wait for the transport more often, and ZeroMQ's I/O
     * thread tells the service that room was made every half queue: at 512
     * that cost the service 3 % of its throughput. A stalled peer holds at
     * most this many replies. */
    SendQueueLimit = 1000,
    /* A reply that cannot be queued for this long is dropped, and its peer
     * taken as stalled until it reads again; replies to a stalled peer are
     * dropped at once. */
    StallLimitMs = 250,
    /* Replies still queued when the service closes may take this long to
     * reach their clients; a client that does not read holds the close no
     * longer. */
    CloseLingerMs = 500,
    StalledPeersKept = 64,
    HandshakeLimitMs = 2000,   /* a peer that does not finish its handshake is dropped */
    HeartbeatMs = 2000,        /* tcp:// peers are probed this often */
    HeartbeatTimeoutMs = 6000, /* and dropped when silent this long */
};

class Service : public Connection {
  public:
    Service() : Connection(Role::Service), requests_(MaxOpenTransactions) {}
    ~Service() override;

    /* Opens the service for the element named in address. */
    bool Open(const QLXSERVICEADDRESS &address);
    int GetRequest(QLXMESSAGE *message, QLXGETOPTIONS *options, QLXHREQ *hRequest);
    int PutResponse(QLXMESSAGE *message, QLXPUTOPTIONS *options, QLXHREQ *hRequest);
    int SendAlert(const QLXALERT &alert);
    int CloseHandle(QLXHREQ handle);
    /* Releases buffer when it is this service's; false when it is not. */
    bool FreeBuffer(QLXBUFFER *buffer);
    bool OwnsBuffer(const char *data) const { return data != nullptr && data == buffer_.Data(); }
    const QLXSTATS &Stats() const { return stats_; }

  private:
    enum class Verdict { Deliver, Stop, Dropped };
    bool TakeLiveness();
    bool BindSocket();
    Verdict Classify(const QLXGETOPTIONS &options, const WireMessage &wire);
    int Deliver(const WireMessage &wire, QLXMESSAGE *message, QLXHREQ *hRequest);
    void Refuse(const WireMessage &wire, int32_t reason);
    void Reply(Frame routingId, uint8_t kind, uint16_t flags, int32_t code, uint64_t requestId,
               Frame msgId, Frame data, bool *failed, zmq_msg_t *parts = nullptr);
    zmq_msg_t *ReturnableParts(QLXHREQ handle, const QLXMESSAGE &message, Frame msgId);
    bool IsStalled(Frame routingId) const;
    void MarkStalled(Frame routingId, bool stalled);
    void WriteStatsFile() const;
    void ReleaseBuffer();
    void Complete(QLXHREQ handle);
    Verdict TakeReceived(QLXMESSAGE *message, QLXGETOPTIONS *options, QLXHREQ *hRequest);
    int NoMessage();
    int Interrupted();
    int WaitedInVain(int32_t waitMs);

    Socket socket_;
    void *context_ = nullptr;
    Endpoint endpoint_;
    std::string name_;
    int lockFd_ = -1;
    RequestTable requests_;
    ReceivedMessage received_;
    ReceiveBuffer buffer_;
    bool bufferHanded_ = false;
    QLXHREQ current_ = 0;
    QLXHREQ returnable_ = 0; /* the transaction whose received frames may go back */
    QLXSTATS stats_ = DefaultStats;
    std::vector<std::string> stalled_; /* peers that stopped reading, oldest first */
};

} // namespace qlx

#endif
