/* The core of libqlx over a transport in memory: a service opened on it, the
 * messages its peers send put in its queue, and every reply it sends kept. */
#ifndef TFX_TESTS_QLX_CORE_FAKETRANSPORT_H
#define TFX_TESTS_QLX_CORE_FAKETRANSPORT_H

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "binding/DefaultRecords.h"
#include "qlx/core/Service.h"
#include "qlx/core/Transport.h"

namespace qlxtest {

/* One message as its frames, from or to a peer. */
struct FakeMessage {
    std::string Peer;
    std::vector<std::string> Frames;
    bool operator==(const FakeMessage &) const = default;
};

/* A header as the wire carries it. */
inline std::string HeaderBytes(uint8_t version, uint8_t kind, uint16_t flags, int32_t code,
                               uint64_t requestId)
{
    uint8_t bytes[qlx::HeaderSize];
    qlx::EncodeHeader(qlx::Header{version, kind, flags, code, requestId}, bytes);
    return std::string(reinterpret_cast<const char *>(bytes), sizeof bytes);
}

class FakeServiceTransport : public qlx::ServiceTransport {
  public:
    /* Received in the order put, each from its peer. */
    std::deque<FakeMessage> Queue;
    /* Every reply sent, its header in the bytes of the wire. */
    std::vector<FakeMessage> Sent;

    qlx::ReceiveResult Receive(qlx::Deadline *, qlx::Inbound *message) override
    {
        if (Queue.empty())
            return qlx::ReceiveResult::Empty;
        current_ = std::move(Queue.front());
        Queue.pop_front();
        frames_.clear();
        for (const std::string &frame : current_.Frames)
            frames_.push_back(qlx::AsFrame(frame));
        *message = qlx::Inbound{frames_.data(), frames_.size(), qlx::AsFrame(current_.Peer)};
        return qlx::ReceiveResult::Received;
    }
    qlx::SendResult Send(qlx::Frame peer, const qlx::Outbound &message) override
    {
        const qlx::Header &head = message.Head;
        Sent.push_back(
            {std::string(qlx::AsText(peer)),
             {HeaderBytes(head.Version, head.Kind, head.Flags, head.Code, head.RequestId),
              std::string(qlx::AsText(message.MsgId)), std::string(qlx::AsText(message.Data))}});
        return qlx::SendResult::Sent;
    }

  private:
    FakeMessage current_;
    std::vector<qlx::Frame> frames_;
};

/* A service of the core on a FakeServiceTransport, with the records a
 * program would use; each Receive looks once, without waiting. */
class FakeService {
  public:
    FakeService()
    {
        QLXSERVICEADDRESS address = DefaultServiceAddress;
        address.Name[0] = 'E';
        address.Name[1] = '1';
        Handed = std::make_unique<FakeServiceTransport>();
        Transport = Handed.get();
        Opened = service_.Open(address, [](const char *, size_t, const std::string &) {
            return std::unique_ptr<qlx::ServiceTransport>(std::move(Handed));
        });
        Get.WaitInterval = 0;
    }
    bool Receive() { return service_.GetRequest(&Message, &Get, &hRequest) != 0; }
    bool Respond() { return service_.PutResponse(&Message, &Put, &hRequest) != 0; }
    std::string Data() const { return std::string(Message.Buffer.Data, Message.DataLength); }
    QLXSTATS Stats() const { return service_.Stats(); }

    bool Opened = false;
    FakeServiceTransport *Transport; /* the service's own */
    QLXMESSAGE Message = DefaultMessageRecord;
    QLXGETOPTIONS Get = DefaultGetOptions;
    QLXPUTOPTIONS Put = DefaultPutOptions;
    QLXHREQ hRequest = 0;

  private:
    /* The opener takes no state: it hands over the transport made here. */
    static inline std::unique_ptr<FakeServiceTransport> Handed;
    qlx::Service service_;
};

} // namespace qlxtest

#endif
