#include "qlx/ZmqClient.h"

#include <cerrno>
#include <sys/stat.h>

#include "qlx/ErrorRecord.h"
#include "qlx/Errors.h"
#include "qlx/LockFile.h"
#include "qlx/ZmqCurve.h"

namespace qlx {

/* A service of this library holds the lock beside its ipc:// socket while it
 * lives. A socket with no lock file beside it is another program's QLX/1
 * service, taken to be live as a tcp:// endpoint is. */
bool ZmqClientTransport::ServiceIsLive() const
{
    if (endpoint_.LockPath.empty())
        return true;
    struct stat info {};
    if (lstat(endpoint_.LockPath.c_str(), &info) == 0)
        return ServiceLockHeld(endpoint_.LockPath);
    return lstat(endpoint_.SocketPath.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

bool ZmqClientTransport::Open(const char *nameField, size_t fieldSize, const std::string &name)
{
    std::string dir = RuntimeDirectoryPath();
    struct stat info {};
    if (ExplicitEndpoint() == nullptr && lstat(dir.c_str(), &info) != 0)
        return Fail(QLXRC_NOT_SERVED, "service element %s is not served: no runtime directory %s",
                    name.c_str(), dir.c_str());
    if (!ResolveEndpoint(nameField, fieldSize, false, &endpoint_))
        return false;
    if (!ServiceIsLive()) {
        Detail(0, "no live process holds %s", endpoint_.LockPath.c_str());
        return Fail(QLXRC_NOT_SERVED, "service element %s is not served by a live process",
                    name.c_str());
    }
    if (!socket_.Open(ZMQ_DEALER))
        return false;
    bool ok = socket_.SetInt(ZMQ_LINGER, ClientLingerMs, "ZMQ_LINGER") &&
              socket_.SetInt(ZMQ_SNDHWM, ClientQueueLimit, "ZMQ_SNDHWM") &&
              socket_.SetInt(ZMQ_RCVHWM, ClientQueueLimit, "ZMQ_RCVHWM") &&
              socket_.SetInt(ZMQ_HEARTBEAT_IVL, 2000, "ZMQ_HEARTBEAT_IVL") &&
              socket_.SetInt(ZMQ_HEARTBEAT_TIMEOUT, 6000, "ZMQ_HEARTBEAT_TIMEOUT");
    if (!ok || !SecureClient(socket_.Get(), endpoint_.Address))
        return false;
    if (zmq_connect(socket_.Get(), endpoint_.Address.c_str()) != 0) {
        DetailErrno(("zmq_connect " + endpoint_.Address).c_str(), errno);
        return Fail(QLXRC_TRANSPORT, "service element %s cannot be connected", name.c_str());
    }
    return true;
}

ReceiveResult ZmqClientTransport::Receive(Deadline *deadline, Inbound *message)
{
    ReceiveResult result = received_.Receive(socket_.Get(), deadline);
    if (result != ReceiveResult::Received)
        return result;
    message->Peer = Frame{};
    message->Frames = received_.Frames();
    message->FrameCount = received_.PartCount();
    return result;
}

SendResult ZmqClientTransport::Send(const Outbound &message)
{
    uint8_t header[HeaderSize];
    EncodeHeader(message.Head, header);
    const Frame frames[] = {Frame{header, HeaderSize}, message.MsgId, message.Data};
    return SendMessage(socket_.Get(), frames, 3);
}

} // namespace qlx
