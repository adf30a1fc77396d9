/* A small client of a service element over the library's client calls: it
 * sends transactions, datagrams and stop requests, and collects the replies
 * of a transaction up to its end, within a deadline. */
#ifndef TFX_TESTS_SUPPORT_SERVICECLIENT_H
#define TFX_TESTS_SUPPORT_SERVICECLIENT_H

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "qlx/ServiceRecords.h"

namespace tfxtest {

/* One reply as a client receives it, in values that compare whole. */
struct ClientReply {
    char Kind = 0;      /* 'R' response, 'E' end, 'A' alert, 'N' refusal */
    uint32_t Flags = 0; /* of a response: 1 notify, 2 more follow */
    int32_t Code = 0;   /* alert type, or the reason of a refusal */
    uint64_t RequestId = 0;
    std::string MsgId; /* empty, or the 24 bytes sent with it */
    std::string Data;

    bool operator==(const ClientReply &) const = default;
};

void PrintTo(const ClientReply &reply, std::ostream *out);

class ServiceClient {
  public:
    /* Connects to the element through the library, which finds it in the
     * QLX_DIR of this process. */
    explicit ServiceClient(const std::string &element);
    ~ServiceClient();
    ServiceClient(const ServiceClient &) = delete;
    ServiceClient &operator=(const ServiceClient &) = delete;

    bool Connected() const { return hConn_ != 0; }
    /* The library's text of the last failure, for a test's message. */
    std::string LastError() const;

    bool SendTransaction(uint64_t requestId, const std::string &data,
                         const std::string &msgId = "");
    bool SendDatagram(const std::string &data);
    bool SendStop();

    /* Every reply to the transaction requestId, in order, up to its end (a
     * response without "more follow", an end or a refusal) or the deadline,
     * whichever comes first. Replies to other transactions are kept for
     * their own Collect. */
    std::vector<ClientReply> Collect(uint64_t requestId,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(30));

  private:
    bool Send(int32_t msgType, uint64_t requestId, const std::string &data,
              const std::string &msgId);

    QLXHCONN hConn_ = 0;
    std::vector<ClientReply> pending_;
};

} // namespace tfxtest

#endif
