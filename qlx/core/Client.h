/* The client side of a connection: requests to one service element, and the
 * buffer that holds the last reply, over whatever transport reaches it. */
#ifndef TFX_QLX_CLIENT_H
#define TFX_QLX_CLIENT_H

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "qlx/ClientRecords.h"
#include "qlx/core/Connection.h"
#include "qlx/core/ReceiveBuffer.h"
#include "qlx/core/Transport.h"

namespace qlx {

class Client : public Connection {
  public:
    Client() : Connection(Role::Client) {}

    /* Connects to the element named in address. */
    bool Connect(const QLXSERVICEADDRESS &address, ClientTransportOpener open);
    int Send(const QLXREQUEST &request);
    int Stop();
    int Receive(QLXREPLY *reply, int32_t waitMs);
    WaitTarget WaitOn() const { return transport_->WaitOn(); }
    bool Settle() { return transport_->Settle(); }
    /* Whether a reply is there to be received without the transport. */
    bool HasPending() const { return !lost_.empty(); }
    uint64_t Malformed() const { return malformed_; }

  private:
    int SendMessage(uint8_t kind, uint64_t requestId, Frame msgId, Frame data);
    bool Deliver(const Inbound &message, QLXREPLY *reply);
    void Untrack(const QLXREPLY &reply);
    void TakeLosses();
    int DeliverLost(QLXREPLY *reply);
    int DeliverMade(QLXREPLY *reply, int32_t kind, int32_t code, uint64_t requestId);

    std::unique_ptr<ClientTransport> transport_;
    std::string name_;
    ReceiveBuffer buffer_;
    uint64_t malformed_ = 0;
    /* With a transport that reports losses: each outstanding transaction,
     * with the transport's loss count when it was sent; and the transactions
     * a loss ended, still to be reported as refused. */
    std::unordered_map<uint64_t, uint64_t> outstanding_;
    std::vector<uint64_t> lost_;
};

} // namespace qlx

#endif
