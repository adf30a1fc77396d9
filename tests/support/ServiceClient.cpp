#include "tests/support/ServiceClient.h"

#include <algorithm>
#include <cstring>

#include "binding/RecordPreparation.h"
#include "qlx/qlx.h"

namespace tfxtest {

namespace {

/* No transaction of a test gets more replies than this. */
const size_t ReplyLimit = 100000;
const int32_t ReceiveSliceMs = 1000;

/* After a failed receive: true when it only found nothing to receive. */
bool NothingArrived()
{
    QLXERROR error{};
    (void)qlxGetLastError(&error);
    return error.PrimaryResult.ReasonCode == QLXRC_NO_MESSAGE;
}

bool EndsTransaction(const ClientReply &reply)
{
    if (reply.Kind == QLX_REPLY_RESPONSE)
        return (reply.Flags & QLX_RF_MORE) == 0;
    return reply.Kind == QLX_REPLY_END || reply.Kind == QLX_REPLY_REFUSED;
}

std::string Printable(const std::string &bytes)
{
    std::string text;
    for (char ch : bytes) {
        if (ch == '\n')
            text += "\\n";
        else if (ch == '\0')
            text += "\\0";
        else
            text += ch;
    }
    return text;
}

} // namespace

void PrintTo(const ClientReply &reply, std::ostream *out)
{
    *out << "{" << (reply.Kind != 0 ? std::string(1, reply.Kind) : std::string("none")) << " flags "
         << reply.Flags << " code " << reply.Code << " request " << reply.RequestId << " msgid \""
         << Printable(reply.MsgId) << "\" data \"" << Printable(reply.Data) << "\" ("
         << reply.Data.size() << " bytes)}";
}

ServiceClient::ServiceClient(const std::string &element)
{
    QLXSERVICEADDRESS address;
    PrepareServiceAddress(&address, element.c_str());
    if (!qlxClientConnect(&address, &hConn_))
        hConn_ = 0;
}

ServiceClient::~ServiceClient()
{
    if (hConn_ != 0)
        (void)qlxTerminate(&hConn_);
}

std::string ServiceClient::LastError() const
{
    QLXERROR error{};
    (void)qlxGetLastError(&error);
    return std::string(error.PrimaryResult.Text,
                       strnlen(error.PrimaryResult.Text, sizeof error.PrimaryResult.Text));
}

bool ServiceClient::Send(int32_t msgType, uint64_t requestId, const std::string &data,
                         const std::string &msgId)
{
    QLXREQUEST request = DefaultRequest;
    request.MsgType = msgType;
    request.RequestId = requestId;
    request.DataLength = static_cast<uint32_t>(data.size());
    request.Data = data.data();
    if (!msgId.empty()) {
        request.Options |= QLX_RQO_MSGID;
        memcpy(request.MsgId, msgId.data(), std::min(msgId.size(), sizeof request.MsgId));
    }
    return qlxClientSend(hConn_, &request) != 0;
}

bool ServiceClient::SendTransaction(uint64_t requestId, const std::string &data,
                                    const std::string &msgId)
{
    return Send(QLX_MSGTYPE_TRANSACTION, requestId, data, msgId);
}

bool ServiceClient::SendDatagram(const std::string &data)
{
    return Send(QLX_MSGTYPE_DATAGRAM, 0, data, "");
}

bool ServiceClient::SendStop()
{
    return qlxClientStop(hConn_) != 0;
}

std::vector<ClientReply> ServiceClient::Collect(uint64_t requestId,
                                                std::chrono::milliseconds timeout)
{
    std::vector<ClientReply> replies;
    auto mine = [requestId](const ClientReply &reply) { return reply.RequestId == requestId; };
    for (auto kept = std::find_if(pending_.begin(), pending_.end(), mine); kept != pending_.end();
         kept = std::find_if(pending_.begin(), pending_.end(), mine)) {
        replies.push_back(*kept);
        pending_.erase(kept);
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while ((replies.empty() || !EndsTransaction(replies.back())) &&
           replies.size() + pending_.size() < ReplyLimit) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        QLXREPLY reply = DefaultReply;
        int32_t wait = static_cast<int32_t>(std::min<long long>(left.count(), ReceiveSliceMs));
        if (!qlxClientReceive(hConn_, &reply, wait)) {
            if (NothingArrived())
                continue;
            break;
        }
        ClientReply received;
        received.Kind = static_cast<char>(reply.Kind);
        received.Flags = reply.Flags;
        received.Code = reply.Code;
        received.RequestId = reply.RequestId;
        received.MsgId.assign(reinterpret_cast<const char *>(reply.MsgId), reply.MsgIdLength);
        received.Data.assign(reply.Data != nullptr ? reply.Data : "", reply.DataLength);
        (mine(received) ? replies : pending_).push_back(received);
    }
    return replies;
}

} // namespace tfxtest
