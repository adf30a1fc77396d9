/* The client-side calls of libqlx. */
#include <cstring>

#include "qlx/qlx.h"
#include "qlx/api/TransportChoice.h"
#include "qlx/core/Client.h"
#include "qlx/core/Errors.h"
#include "qlx/core/MonotonicClock.h"
#include "qlx/zmq/ZmqPoll.h"

namespace {

qlx::Client *FindClient(QLXHCONN hConn)
{
    qlx::Connection *connection = qlx::FindConnection(hConn);
    if (connection == nullptr || connection->GetRole() != qlx::Connection::Role::Client) {
        qlx::Fail(QLXRC_BAD_CONNECTION, "connection handle %08x names no open client", hConn);
        return nullptr;
    }
    return static_cast<qlx::Client *>(connection);
}

} // namespace

int qlxClientConnect(QLXSERVICEADDRESS *address, QLXHCONN *hConn) noexcept
{
    return qlx::Guarded([&] {
        if (hConn == nullptr)
            return qlx::Fail(QLXRC_BAD_ARGUMENT, "the connection handle address is null");
        *hConn = 0;
        if (address == nullptr || memcmp(address->StrucId, "FXAD", 4) != 0)
            return qlx::Fail(QLXRC_BAD_ARGUMENT,
                             "service address is null or not a service address record");
        auto client = std::make_unique<qlx::Client>();
        if (!client->Connect(*address, qlx::OpenClientTransport))
            return 0;
        *hConn = qlx::RegisterConnection(std::move(client));
        if (*hConn == 0)
            return qlx::Fail(QLXRC_TRANSPORT, "too many connections are open in this process");
        return 1;
    });
}

int qlxClientSend(QLXHCONN hConn, const QLXREQUEST *request) noexcept
{
    return qlx::Guarded([&] {
        if (request == nullptr || memcmp(request->StrucId, "FXRQ", 4) != 0)
            return qlx::Fail(QLXRC_BAD_ARGUMENT, "request is null or not a request record");
        qlx::Client *client = FindClient(hConn);
        return client != nullptr ? client->Send(*request) : 0;
    });
}

int qlxClientStop(QLXHCONN hConn) noexcept
{
    return qlx::Guarded([&] {
        qlx::Client *client = FindClient(hConn);
        return client != nullptr ? client->Stop() : 0;
    });
}

int qlxClientReceive(QLXHCONN hConn, QLXREPLY *reply, int32_t waitMs) noexcept
{
    return qlx::Guarded([&] {
        if (reply == nullptr || memcmp(reply->StrucId, "FXRP", 4) != 0)
            return qlx::Fail(QLXRC_BAD_ARGUMENT, "reply is null or not a reply record");
        qlx::Client *client = FindClient(hConn);
        return client != nullptr ? client->Receive(reply, waitMs) : 0;
    });
}

/* What is left of a wait of waitMs that began at startNs: -1 for no end, 0
 * when it is over. */
static int32_t WaitLeft(int32_t waitMs, uint64_t startNs)
{
    if (waitMs < 0)
        return -1;
    uint64_t end = startNs + static_cast<uint64_t>(waitMs) * 1000000u;
    uint64_t now = qlx::MonotonicNs();
    return now < end ? static_cast<int32_t>((end - now + 999999) / 1000000) : 0;
}

int qlxClientWait(const QLXHCONN *hConns, uint32_t count, int32_t waitMs, uint8_t *ready) noexcept
{
    return qlx::Guarded([&] {
        if (hConns == nullptr || ready == nullptr || count == 0)
            return qlx::Fail(QLXRC_BAD_ARGUMENT, "no connections to wait for");
        if (count > qlx::ConnectionLimit)
            return qlx::Fail(QLXRC_BAD_ARGUMENT, "%u connections to wait for: at most %u are open",
                             count, static_cast<unsigned>(qlx::ConnectionLimit));
        qlx::Client *clients[qlx::ConnectionLimit];
        qlx::WaitTarget targets[qlx::ConnectionLimit];
        uint8_t pending[qlx::ConnectionLimit];
        int pendingCount = 0;
        for (uint32_t i = 0; i < count; ++i) {
            clients[i] = FindClient(hConns[i]);
            if (clients[i] == nullptr)
                return 0;
            targets[i] = clients[i]->WaitOn();
            pending[i] = clients[i]->HasPending() ? 1 : 0;
            pendingCount += pending[i];
        }
        uint64_t start = qlx::MonotonicNs();
        /* Replies the library holds itself need no wait for the transport. */
        for (int32_t wait = pendingCount != 0 ? 0 : waitMs;; wait = WaitLeft(waitMs, start)) {
            int woken = qlx::WaitForAny(targets, count, wait, ready);
            if (woken < 0)
                return qlx::Fail(QLXRC_RECEIVE_FAILED, "waiting for replies failed");
            /* A watch may have woken the wait with events that are no reply. */
            int readyCount = 0;
            for (uint32_t i = 0; i < count; ++i) {
                ready[i] = (ready[i] != 0 && clients[i]->Settle()) || pending[i] != 0 ? 1 : 0;
                readyCount += ready[i];
            }
            if (readyCount != 0)
                return 1;
            if (woken == 0 || WaitLeft(waitMs, start) == 0)
                return qlx::FailNoReply();
        }
    });
}
