/* The client side of a connection: one DEALER socket connected to a service
 * element, and the buffer that holds the last reply. */
#ifndef TFX_QLX_CLIENT_H
#define TFX_QLX_CLIENT_H

#include <string>

#include "qlx/ClientRecords.h"
#include "qlx/Connection.h"
#include "qlx/Endpoint.h"
#include "qlx/Transport.h"

namespace qlx {

enum : int {
    ClientQueueLimit = 100000, /* messages queued each way */
    ClientLingerMs = 1000,     /* how long a closing client still tries to deliver */
};

class Client : public Connection {
  public:
    Client() : Connection(Role::Client) {}
    ~Client() override;

    /* Connects to the element named in address. */
    bool Connect(const QLXSERVICEADDRESS &address);
    int Send(const QLXREQUEST &request);
    int Stop();
    int Receive(QLXREPLY *reply, int32_t waitMs);
    void *SocketHandle() const { return socket_.Get(); }
    uint64_t Malformed() const { return malformed_; }

  private:
    bool ServiceIsLive() const;
    int SendFrames(uint8_t kind, uint64_t requestId, Frame msgId, Frame data);
    bool Deliver(QLXREPLY *reply);

    Socket socket_;
    void *context_ = nullptr;
    Endpoint endpoint_;
    std::string name_;
    ReceivedMessage received_;
    ReceiveBuffer buffer_;
    uint64_t malformed_ = 0;
};

} // namespace qlx

#endif
