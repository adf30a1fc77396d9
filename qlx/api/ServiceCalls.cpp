/* The service-side calls of libqlx: C entry points that never let an
 * exception out and turn every failure into the error record. */
#include <cstring>

#include "qlx/qlx.h"
#include "qlx/api/TransportChoice.h"
#include "qlx/core/Errors.h"
#include "qlx/core/Service.h"

namespace {

bool HasId(const char *strucId, const char *expected)
{
    return memcmp(strucId, expected, 4) == 0;
}

int BadRecord(const char *what)
{
    const char *article = what[0] == 'a' ? "an" : "a";
    return qlx::Fail(QLXRC_BAD_ARGUMENT, "%s is null or not %s %s record", what, article, what);
}

qlx::Service *FindService(QLXHCONN hConn)
{
    qlx::Connection *connection = qlx::FindConnection(hConn);
    if (connection == nullptr || connection->GetRole() != qlx::Connection::Role::Service) {
        qlx::Fail(QLXRC_BAD_CONNECTION, "connection handle %08x names no open service", hConn);
        return nullptr;
    }
    return static_cast<qlx::Service *>(connection);
}

bool OwnsBufferOf(qlx::Connection *connection, const void *data)
{
    return connection->GetRole() == qlx::Connection::Role::Service &&
           static_cast<qlx::Service *>(connection)->OwnsBuffer(static_cast<const char *>(data));
}

} // namespace

int qlxServerInitialize(QLXSERVICEADDRESS *address, QLXHCONN *hConn) noexcept
{
    return qlx::Guarded([&] {
        if (hConn == nullptr)
            return qlx::Fail(QLXRC_BAD_ARGUMENT, "the connection handle address is null");
        *hConn = 0;
        if (address == nullptr || !HasId(address->StrucId, "FXAD"))
            return BadRecord("service address");
        auto service = std::make_unique<qlx::Service>();
        if (!service->Open(*address, qlx::OpenServiceTransport))
            return 0;
        *hConn = qlx::RegisterConnection(std::move(service));
        if (*hConn == 0)
            return qlx::Fail(QLXRC_TRANSPORT, "too many connections are open in this process");
        return 1;
    });
}

int qlxGetRequest(QLXHCONN hConn, QLXMESSAGE *message, QLXGETOPTIONS *options, void *,
                  QLXHREQ *hRequest) noexcept
{
    return qlx::Guarded([&] {
        if (message == nullptr || !HasId(message->StrucId, "FXMD"))
            return BadRecord("message");
        if (options == nullptr || !HasId(options->StrucId, "FXGO"))
            return BadRecord("get options");
        if (hRequest == nullptr)
            return qlx::Fail(QLXRC_BAD_ARGUMENT, "the request handle address is null");
        qlx::Service *service = FindService(hConn);
        return service != nullptr ? service->GetRequest(message, options, hRequest) : 0;
    });
}

int qlxPutResponse(QLXHCONN hConn, QLXMESSAGE *message, QLXPUTOPTIONS *options, void *,
                   QLXHREQ *hRequest) noexcept
{
    return qlx::Guarded([&] {
        if (message == nullptr || !HasId(message->StrucId, "FXMD"))
            return BadRecord("message");
        if (options == nullptr || !HasId(options->StrucId, "FXPO"))
            return BadRecord("put options");
        if (hRequest == nullptr)
            return qlx::Fail(QLXRC_BAD_ARGUMENT, "the request handle address is null");
        qlx::Service *service = FindService(hConn);
        return service != nullptr ? service->PutResponse(message, options, hRequest) : 0;
    });
}

int qlxSendAlert(QLXHCONN hConn, QLXALERT *alert) noexcept
{
    return qlx::Guarded([&] {
        if (alert == nullptr || !HasId(alert->StrucId, "LXLD"))
            return BadRecord("alert");
        qlx::Service *service = FindService(hConn);
        return service != nullptr ? service->SendAlert(*alert) : 0;
    });
}

int qlxCloseHandle(QLXHCONN hConn, QLXHREQ *hRequest) noexcept
{
    return qlx::Guarded([&] {
        if (hRequest == nullptr)
            return qlx::Fail(QLXRC_BAD_ARGUMENT, "the request handle address is null");
        qlx::Service *service = FindService(hConn);
        return service != nullptr ? service->CloseHandle(*hRequest) : 0;
    });
}

int qlxFreeBuffer(QLXHCONN hConn, QLXBUFFER *buffer) noexcept
{
    return qlx::Guarded([&] {
        if (buffer == nullptr)
            return qlx::Fail(QLXRC_BAD_ARGUMENT, "the buffer descriptor is null");
        if (buffer->Data == nullptr)
            return 1;
        qlx::Service *service = nullptr;
        if (hConn != 0) {
            service = FindService(hConn);
            if (service == nullptr)
                return 0;
        } else {
            service =
                static_cast<qlx::Service *>(qlx::FindConnectionWhere(OwnsBufferOf, buffer->Data));
        }
        if (service == nullptr || !service->FreeBuffer(buffer))
            return qlx::Fail(QLXRC_NOT_OUR_BUFFER,
                             "the buffer at %p was not handed out by this library: left alone",
                             static_cast<void *>(buffer->Data));
        return 1;
    });
}

int qlxTerminate(QLXHCONN *hConn) noexcept
{
    return qlx::Guarded([&] {
        if (hConn == nullptr)
            return qlx::Fail(QLXRC_BAD_ARGUMENT, "the connection handle address is null");
        QLXHCONN handle = *hConn;
        std::unique_ptr<qlx::Connection> connection = qlx::UnregisterConnection(handle);
        *hConn = 0;
        if (connection == nullptr)
            return qlx::Fail(QLXRC_BAD_CONNECTION,
                             "connection handle %08x names no open connection", handle);
        return 1;
    });
}

int qlxGetServiceStats(QLXHCONN hConn, QLXSTATS *stats) noexcept
{
    return qlx::Guarded([&] {
        if (stats == nullptr)
            return qlx::Fail(QLXRC_BAD_ARGUMENT, "the statistics record is null");
        qlx::Service *service = FindService(hConn);
        if (service == nullptr)
            return 0;
        QLXSTATS current = service->Stats();
        size_t size = sizeof current;
        if (stats->Version == 1 || stats->Version == 2) {
            current.Version = stats->Version;
            size = stats->Version == 1 ? QLX_STATS_VERSION_1_SIZE : QLX_STATS_VERSION_2_SIZE;
        }
        memcpy(stats, &current, size);
        return 1;
    });
}
