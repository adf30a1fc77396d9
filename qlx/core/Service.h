/* The service side of a connection: the transactions being answered, what is
 * delivered and what refused, and the buffer handed out, over whatever
 * transport serves the element. */
#ifndef TFX_QLX_SERVICE_H
#define TFX_QLX_SERVICE_H

#include <memory>
#include <string>

#include "qlx/ClientRecords.h"
#include "qlx/ServiceRecords.h"
#include "qlx/core/Connection.h"
#include "qlx/core/ReceiveBuffer.h"
#include "qlx/core/RequestTable.h"
#include "qlx/core/StatsFile.h"
#include "qlx/core/Transport.h"

namespace qlx {

enum : uint32_t {
    MaxDataSize = QLX_MAX_DATA_LENGTH, /* larger data is refused */
    MaxOpenTransactions = 4096,        /* further transactions are refused */
};

class Service : public Connection {
  public:
    Service() : Connection(Role::Service), requests_(MaxOpenTransactions) {}
    ~Service() override;

    /* Opens the service for the element named in address. */
    bool Open(const QLXSERVICEADDRESS &address, ServiceTransportOpener open);
    int GetRequest(QLXMESSAGE *message, QLXGETOPTIONS *options, QLXHREQ *hRequest);
    int PutResponse(QLXMESSAGE *message, QLXPUTOPTIONS *options, QLXHREQ *hRequest);
    int SendAlert(const QLXALERT &alert);
    int CloseHandle(QLXHREQ handle);
    /* Releases buffer when it is this service's; false when it is not. */
    bool FreeBuffer(QLXBUFFER *buffer);
    bool OwnsBuffer(const char *data) const { return data != nullptr && data == buffer_.Data(); }
    /* The counters, with what the transport lost and refused. */
    QLXSTATS Stats() const;

  private:
    enum class Verdict { Deliver, Stop, Dropped };
    Verdict Classify(const QLXGETOPTIONS &options, const WireMessage &wire);
    int Deliver(const WireMessage &wire, QLXMESSAGE *message, QLXHREQ *hRequest);
    void Refuse(const WireMessage &wire, int32_t reason);
    void CountRefusal(int32_t reason);
    SendResult Reply(Frame peer, const Header &head, Frame msgId, Frame data);
    void ReleaseBuffer();
    void Complete(QLXHREQ handle);
    Verdict TakeReceived(QLXMESSAGE *message, QLXGETOPTIONS *options, QLXHREQ *hRequest);
    int NoMessage();
    int Interrupted();
    int Stopped(QLXGETOPTIONS *options);
    int WaitedInVain(int32_t waitMs);

    std::unique_ptr<ServiceTransport> transport_;
    std::string name_;
    RequestTable requests_;
    Inbound received_{};
    ReceiveBuffer buffer_;
    bool bufferHanded_ = false;
    QLXHREQ current_ = 0;
    QLXSTATS stats_ = QLX_DEFAULT_STATS;
    StatsFile statsFile_; /* QLX_STATS_FILE, opened with the service */
};

} // namespace qlx

#endif
