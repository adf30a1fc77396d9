#include "qlx/nats/NatsConnection.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <openssl/crypto.h>
#include <sstream>
#include <sys/eventfd.h>
#include <unistd.h>

#include "qlx/ErrorRecord.h"
#include "qlx/core/Errors.h"

namespace qlx {

NatsState::NatsState()
{
    WakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

NatsState::~NatsState()
{
    if (WakeFd >= 0)
        (void)close(WakeFd);
}

void NatsState::Closed()
{
    std::lock_guard<std::mutex> guard(Lock);
    ClosedSeen = true;
    Wake();
    Changed.notify_all();
}

void NatsState::Wake()
{
    if (Woken)
        return;
    uint64_t one = 1;
    Woken = write(WakeFd, &one, sizeof one) == sizeof one;
}

void NatsState::Unwake()
{
    if (!Woken)
        return;
    uint64_t count = 0;
    Woken = read(WakeFd, &count, sizeof count) != sizeof count;
}

bool NatsState::WaitClosed(int ms)
{
    std::unique_lock<std::mutex> guard(Lock);
    return Changed.wait_for(guard, std::chrono::milliseconds(ms), [this] { return ClosedSeen; });
}

static void OnDisconnected(natsConnection *, void *closure)
{
    static_cast<NatsState *>(closure)->Disconnected();
}

static void OnClosed(natsConnection *, void *closure)
{
    static_cast<NatsState *>(closure)->Closed();
}

static void OnError(natsConnection *, natsSubscription *, natsStatus status, void *closure)
{
    if (status == NATS_SLOW_CONSUMER)
        static_cast<NatsState *>(closure)->SlowConsumer();
}

static natsStatus OnAttach(void **userData, void *loop, natsConnection *, natsSock socket)
{
    *userData = loop;
    static_cast<NatsLoop *>(loop)->Attach(socket);
    return NATS_OK;
}

static natsStatus OnRead(void *loop, bool add)
{
    static_cast<NatsLoop *>(loop)->WantRead(add);
    return NATS_OK;
}

static natsStatus OnWrite(void *loop, bool add)
{
    static_cast<NatsLoop *>(loop)->WantWrite(add);
    return NATS_OK;
}

static natsStatus OnDetach(void *loop)
{
    static_cast<NatsLoop *>(loop)->Detach();
    return NATS_OK;
}

NatsConnection::~NatsConnection()
{
    Destroy();
}

void NatsConnection::Destroy()
{
    if (connection_ != nullptr)
        natsConnection_Destroy(connection_);
    connection_ = nullptr;
}

void NatsConnection::DetailStatus(const char *what, natsStatus status) const
{
    natsStatus last = NATS_OK;
    const char *text = nats_GetLastError(&last);
    bool detailed = last == status && text != nullptr && text[0] != '\0';
    std::string shown = WithoutSecrets(detailed ? text : natsStatus_GetText(status), settings_);
    Detail(static_cast<int32_t>(status), "%s: %s", what, shown.c_str());
}

/* The seed of QLX_NATS_NKEY gives the public key the server knows. */
static bool ReadPublicKey(const std::string &path, std::string *publicKey)
{
    std::ifstream file(path);
    std::string seed;
    file >> seed;
    bool read = NKeyPublicKey(seed, publicKey);
    OPENSSL_cleanse(seed.data(), seed.size());
    if (read)
        return true;
    return Fail(QLXRC_TRANSPORT, "QLX_NATS_NKEY names %s, which holds no NKey user seed",
                path.c_str());
}

/* Authentication and TLS, each file named in what goes wrong. */
bool NatsConnection::SetAccess(natsOptions *options)
{
    const NatsSettings &s = settings_;
    if (s.Secure && natsOptions_SetSecure(options, true) != NATS_OK)
        return Fail(QLXRC_TRANSPORT, "TLS cannot be used");
    natsStatus status = NATS_OK;
    if (!s.Ca.empty() &&
        (status = natsOptions_LoadCATrustedCertificates(options, s.Ca.c_str())) != NATS_OK) {
        DetailStatus("natsOptions_LoadCATrustedCertificates", status);
        return Fail(QLXRC_TRANSPORT, "QLX_NATS_CA names %s, which holds no usable certificates",
                    s.Ca.c_str());
    }
    if (!s.Cert.empty() && (status = natsOptions_LoadCertificatesChain(options, s.Cert.c_str(),
                                                                       s.Key.c_str())) != NATS_OK) {
        DetailStatus("natsOptions_LoadCertificatesChain", status);
        return Fail(QLXRC_TRANSPORT,
                    "QLX_NATS_CERT %s and QLX_NATS_KEY %s are no certificate and key that match",
                    s.Cert.c_str(), s.Key.c_str());
    }
    if (!s.Creds.empty() && (status = natsOptions_SetUserCredentialsFromFiles(
                                 options, s.Creds.c_str(), nullptr)) != NATS_OK) {
        DetailStatus("natsOptions_SetUserCredentialsFromFiles", status);
        return Fail(QLXRC_TRANSPORT, "QLX_NATS_CREDS names %s, which cannot be used",
                    s.Creds.c_str());
    }
    std::string publicKey;
    if (!s.NKeySeed.empty() && !ReadPublicKey(s.NKeySeed, &publicKey))
        return false;
    if (!publicKey.empty() && (status = natsOptions_SetNKeyFromSeed(
                                   options, publicKey.c_str(), s.NKeySeed.c_str())) != NATS_OK) {
        DetailStatus("natsOptions_SetNKeyFromSeed", status);
        return Fail(QLXRC_TRANSPORT, "QLX_NATS_NKEY names %s, which cannot be used",
                    s.NKeySeed.c_str());
    }
    return true;
}

bool NatsConnection::SetOptions(natsOptions *options, const std::string &role,
                                const std::string &name, NatsState *state, NatsLoop *loop)
{
    std::vector<const char *> urls;
    for (const std::string &url : settings_.Urls)
        urls.push_back(url.c_str());
    std::string client = "qlx " + role + " of " + name;
    natsStatus status = natsOptions_SetServers(options, urls.data(), static_cast<int>(urls.size()));
    if (status != NATS_OK) {
        DetailStatus("natsOptions_SetServers", status);
        return Fail(QLXRC_ENDPOINT, "QLX_ENDPOINT=%s holds no usable NATS server URLs",
                    ShownUrls(settings_).c_str());
    }
    /* Without SendAsap every publish waits a millisecond for a flusher. */
    bool set = natsOptions_SetName(options, client.c_str()) == NATS_OK &&
               natsOptions_SetSendAsap(options, true) == NATS_OK &&
               natsOptions_SetMaxReconnect(options, -1) == NATS_OK &&
               natsOptions_SetReconnectWait(options, ReconnectWaitMs) == NATS_OK &&
               natsOptions_SetPingInterval(options, PingIntervalMs) == NATS_OK &&
               natsOptions_SetMaxPingsOut(options, MaxPingsOut) == NATS_OK &&
               natsOptions_SetDisconnectedCB(options, OnDisconnected, state) == NATS_OK &&
               natsOptions_SetClosedCB(options, OnClosed, state) == NATS_OK &&
               natsOptions_SetErrorHandler(options, OnError, state) == NATS_OK &&
               (loop == nullptr || natsOptions_SetEventLoop(options, loop, OnAttach, OnRead,
                                                            OnWrite, OnDetach) == NATS_OK);
    if (!set)
        return Fail(QLXRC_TRANSPORT, "the NATS connection options cannot be set");
    return SetAccess(options);
}

bool NatsConnection::Open(const NatsSettings &settings, const std::string &role,
                          const std::string &name, NatsState *state, NatsLoop *loop)
{
    settings_ = settings;
    if (state->WakeFd < 0) {
        DetailErrno("eventfd", errno);
        return Fail(QLXRC_TRANSPORT, "service element %s cannot be waited for", name.c_str());
    }
    SignalsBlocked blocked;
    natsOptions *options = nullptr;
    natsStatus status = natsOptions_Create(&options);
    if (status != NATS_OK) {
        DetailStatus("natsOptions_Create", status);
        return Fail(QLXRC_TRANSPORT, "the NATS library cannot be started");
    }
    bool opened = SetOptions(options, role, name, state, loop);
    if (opened && (status = natsConnection_Connect(&connection_, options)) != NATS_OK) {
        DetailStatus("natsConnection_Connect", status);
        opened = Fail(QLXRC_TRANSPORT, "the %s for service element %s cannot connect to NATS at %s",
                      role.c_str(), name.c_str(), ShownUrls(settings_).c_str());
        connection_ = nullptr;
    }
    natsOptions_Destroy(options);
    return opened;
}

size_t NatsConnection::MaxPayload() const
{
    int64_t payload = natsConnection_GetMaxPayload(connection_);
    return payload > 0 ? static_cast<size_t>(payload) : 0;
}

bool NatsConnection::Close(NatsState *state)
{
    if (connection_ == nullptr)
        return true;
    {
        SignalsBlocked blocked;
        natsConnection_Close(connection_);
    }
    return state->WaitClosed(CloseWaitMs);
}

void JoinFrames(const Outbound &message, std::vector<uint8_t> *body)
{
    size_t size = 1 + HeaderSize + message.MsgId.Size + message.Data.Size;
    body->resize(size);
    uint8_t *out = body->data();
    out[0] = static_cast<uint8_t>(message.MsgId.Size);
    EncodeHeader(message.Head, out + 1);
    if (message.MsgId.Size > 0)
        memcpy(out + 1 + HeaderSize, message.MsgId.Data, message.MsgId.Size);
    if (message.Data.Size > 0)
        memcpy(out + 1 + HeaderSize + message.MsgId.Size, message.Data.Data, message.Data.Size);
}

size_t SplitBody(const uint8_t *body, size_t size, Frame frames[FramesPerMessage])
{
    if (size < 1 + HeaderSize || size - 1 - HeaderSize < body[0]) {
        frames[0] = Frame{body, size};
        return 1;
    }
    size_t msgIdSize = body[0];
    frames[0] = Frame{body + 1, HeaderSize};
    frames[1] = Frame{body + 1 + HeaderSize, msgIdSize};
    frames[2] = Frame{body + 1 + HeaderSize + msgIdSize, size - 1 - HeaderSize - msgIdSize};
    return FramesPerMessage;
}

SendResult PublishResult(const NatsConnection &connection, natsStatus status)
{
    switch (status) {
    case NATS_OK:
        return SendResult::Sent;
    case NATS_MAX_PAYLOAD:
        return SendResult::TooLarge;
    case NATS_INSUFFICIENT_BUFFER:
        return SendResult::Full;
    /* libnats reconnects by itself: only this message is lost. */
    case NATS_IO_ERROR:
    case NATS_CONNECTION_DISCONNECTED:
    case NATS_STALE_CONNECTION:
        connection.DetailStatus("natsConnection_Publish", status);
        return SendResult::Lost;
    default:
        connection.DetailStatus("natsConnection_Publish", status);
        return SendResult::Failed;
    }
}

} // namespace qlx
