#include "qlx/ZmqClient.h"

#include <cerrno>

#include "qlx/ErrorRecord.h"
#include "qlx/Errors.h"
#include "qlx/IpcTrust.h"
#include "qlx/ServiceReach.h"
#include "qlx/ZmqCurve.h"
#include "qlx/ZmqHandshake.h"

namespace qlx {

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
    bool ok = socket_.SetInt(ZMQ_LINGER, ClientLingerMs, "ZMQ_LINGER") &&
              socket_.SetInt(ZMQ_SNDHWM, ClientQueueLimit, "ZMQ_SNDHWM") &&
              socket_.SetInt(ZMQ_RCVHWM, ClientQueueLimit, "ZMQ_RCVHWM") &&
              socket_.KeepPeersAlive();
    if (!ok || !SecureClient(socket_.Get(), endpoint_.Address))
        return false;
    HandshakeWatch watch;
    if (reach == Reach::Unknown && !watch.Start(socket_.Get()))
        return false;
    if (zmq_connect(socket_.Get(), endpoint_.Address.c_str()) != 0) {
        DetailErrno(("zmq_connect " + endpoint_.Address).c_str(), errno);
        return Fail(QLXRC_TRANSPORT, "service element %s cannot be connected", name.c_str());
    }
    if (reach != Reach::Unknown)
        return true;
    std::string seen;
    switch (watch.Wait(HandshakeWaitMs, &seen)) {
    case HandshakeWatch::Outcome::Answered:
        return true;
    case HandshakeWatch::Outcome::Refused:
        return Fail(QLXRC_KEYS, "service element %s at %s did not let this client in: %s",
                    name.c_str(), endpoint_.Address.c_str(), seen.c_str());
    case HandshakeWatch::Outcome::Silent:
        break;
    }
    return FailNotServed(name, seen);
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
