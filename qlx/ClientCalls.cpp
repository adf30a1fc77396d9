/* The client-side calls of libqlx. */
#include <cstring>

#include "qlx/qlx.h"
#include "qlx/Client.h"
#include "qlx/Errors.h"

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
        if (!client->Connect(*address))
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

int qlxClientWait(const QLXHCONN *hConns, uint32_t count, int32_t waitMs, uint8_t *ready) noexcept
{
    return qlx::Guarded([&] {
        if (hConns == nullptr || ready == nullptr || count == 0)
            return qlx::Fail(QLXRC_BAD_ARGUMENT, "no connections to wait for");
        if (count > qlx::ConnectionLimit)
            return qlx::Fail(QLXRC_BAD_ARGUMENT, "%u connections to wait for: at most %u are open",
                             count, static_cast<unsigned>(qlx::ConnectionLimit));
        qlx::WaitTarget targets[qlx::ConnectionLimit];
        uint8_t pending[qlx::ConnectionLimit];
        int pendingCount = 0;
        for (uint32_t i = 0; i < count; ++i) {
            qlx::Client *client = FindClient(hConns[i]);
            if (client == nullptr)
                return 0;
            targets[i] = client->WaitOn();
            pending[i] = client->HasPending() ? 1 : 0;
            pendingCount += pending[i];
        }
        /* Replies the library holds itself need no wait for the transport. */
        int readyCount = qlx::WaitForAny(targets, count, pendingCount != 0 ? 0 : waitMs, ready);
        if (readyCount < 0)
            return qlx::Fail(QLXRC_RECEIVE_FAILED, "waiting for replies failed");
        for (uint32_t i = 0; i < count; ++i) {
            readyCount += pending[i] != 0 && ready[i] == 0 ? 1 : 0;
            ready[i] |= pending[i];
        }
        if (readyCount == 0)
            return qlx::FailNoReply();
        return 1;
    });
}
