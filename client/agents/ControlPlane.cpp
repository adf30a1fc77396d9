#include "client/agents/ControlPlane.h"

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <pthread.h>
#include <unistd.h>

#include "client/agents/AgentPlan.h"

namespace {

enum : int {
    ReconnectWaitMs = 250,
    PingIntervalMs = 2000, /* a server that answers no ping for 3 intervals is left */
    MaxPingsOut = 3,
    CloseWaitMs = 2000,         /* for libnats to say the connection is closed */
    SubscribeConfirmMs = 10000, /* for the servers to confirm a subscription */
};

enum : size_t {
    MaxQueued = 4096,  /* messages read and not yet taken */
    MaxSenders = 4096, /* whose last sequence number is kept */
    MaxToken = 64,
};

/* Blocks every signal in this thread while it lives: libnats's threads
 * started meanwhile inherit the mask, so signals reach the program's own. */
class SignalsBlocked {
  public:
    SignalsBlocked()
    {
        sigset_t all;
        sigfillset(&all);
        (void)pthread_sigmask(SIG_BLOCK, &all, &saved_);
    }
    ~SignalsBlocked() { (void)pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    SignalsBlocked(const SignalsBlocked &) = delete;
    SignalsBlocked &operator=(const SignalsBlocked &) = delete;

  private:
    sigset_t saved_;
};

bool IsNatsUrl(const std::string &url)
{
    return url.rfind("nats://", 0) == 0 || url.rfind("tls://", 0) == 0;
}

bool IsTokenByte(char byte)
{
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
           (byte >= '0' && byte <= '9') || byte == '_' || byte == '-';
}

/* name itself as a subject token when it can be one, else "_x" and its hex. */
std::string Token(const std::string &name)
{
    bool plain = !name.empty() && name.size() <= MaxToken;
    for (char byte : name)
        plain = plain && IsTokenByte(byte);
    if (plain)
        return name;
    static const char digits[] = "0123456789abcdef";
    std::string token = "_x";
    for (unsigned char byte : name) {
        token += digits[byte >> 4];
        token += digits[byte & 15];
    }
    return token;
}

/* Tokens of [A-Za-z0-9_-] separated by dots. */
bool IsPrefix(const std::string &prefix)
{
    if (prefix.empty() || prefix.size() > 128 || prefix.front() == '.' || prefix.back() == '.')
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (!(IsTokenByte(prefix[i]) || (prefix[i] == '.' && prefix[i - 1] != '.')))
            return false;
    return true;
}

std::string Environment(const char *name)
{
    const char *value = getenv(name);
    return value != nullptr ? value : "";
}

} // namespace

/* The queue, the counts and the last sequence number of each sender,
 * shared with libnats's threads. */
struct ControlLink::State {
    std::mutex Lock;
    std::condition_variable Changed;
    ControlKey Key;
    std::deque<ControlMessage> Queue;     /* under Lock */
    ControlDrops Drops;                   /* under Lock */
    std::map<std::string, uint64_t> Last; /* by sender; under Lock */
    bool Closed = false;                  /* under Lock */
};

bool ReadControlSettings(ControlSettings *settings, std::string *error)
{
    const char *control = getenv("TFX_CONTROL");
    const char *endpoint = getenv("QLX_ENDPOINT");
    bool fromControl = control != nullptr && control[0] != '\0';
    std::string chosen = fromControl ? control : (endpoint != nullptr ? endpoint : "");
    *settings = ControlSettings{};
    for (size_t begin = 0; begin <= chosen.size();) {
        size_t comma = std::min(chosen.find(',', begin), chosen.size());
        settings->Urls.push_back(chosen.substr(begin, comma - begin));
        begin = comma + 1;
    }
    bool nats = !chosen.empty();
    for (const std::string &url : settings->Urls)
        nats = nats && IsNatsUrl(url);
    if (!nats && !fromControl) {
        *error = "agents are reached over NATS: set TFX_CONTROL to the NATS servers of the "
                 "control plane (e.g. nats://host:4222), or QLX_ENDPOINT to NATS servers";
        return false;
    }
    if (!nats) {
        *error = "TFX_CONTROL=" + chosen +
                 " names no NATS servers: give nats:// or tls:// URLs, separated by commas";
        return false;
    }
    const char *prefix = getenv("QLX_NATS_PREFIX");
    settings->Prefix = prefix != nullptr && prefix[0] != '\0' ? prefix : "qlx";
    if (!IsPrefix(settings->Prefix)) {
        *error = "QLX_NATS_PREFIX=" + settings->Prefix +
                 ": give tokens of letters, digits, _ and -, separated by dots";
        return false;
    }
    if (!Environment("QLX_NATS_NKEY").empty()) {
        *error = "QLX_NATS_NKEY: the control plane signs in with a credentials file "
                 "(QLX_NATS_CREDS) or a user and password in the URL, not with an NKey alone";
        return false;
    }
    settings->Creds = Environment("QLX_NATS_CREDS");
    settings->Ca = Environment("QLX_NATS_CA");
    settings->Cert = Environment("QLX_NATS_CERT");
    settings->Key = Environment("QLX_NATS_KEY");
    if (settings->Cert.empty() != settings->Key.empty()) {
        *error = "QLX_NATS_CERT and QLX_NATS_KEY go together: set both";
        return false;
    }
    settings->Secure = !settings->Ca.empty() || !settings->Cert.empty();
    for (const std::string &url : settings->Urls)
        settings->Secure = settings->Secure || url.rfind("tls://", 0) == 0;
    return true;
}

std::string ShownUrls(const ControlSettings &settings)
{
    std::string shown;
    for (const std::string &url : settings.Urls) {
        size_t scheme = url.find("://") + 3;
        size_t at = url.find('@', scheme);
        shown += shown.empty() ? "" : ",";
        shown += at == std::string::npos ? url : url.substr(0, scheme) + "***" + url.substr(at);
    }
    return shown;
}

std::string ProcessName()
{
    char host[256] = {};
    (void)gethostname(host, sizeof host - 1);
    return std::string(host) + ":" + std::to_string(getpid());
}

std::string DropsText(const ControlDrops &drops)
{
    if (drops.Total() == 0)
        return "";
    const std::pair<uint64_t, const char *> reasons[] = {
        {drops.Malformed, "not of the protocol"},
        {drops.Unauthentic, "not sealed with the group's key"},
        {drops.Replayed, "replayed"},
        {drops.OutOfPlace, "of another run or sender"},
        {drops.Overflow, "over the queue's bound"},
    };
    std::string text = "control messages dropped: " + std::to_string(drops.Total());
    const char *separator = " (";
    for (const auto &[count, why] : reasons) {
        if (count == 0)
            continue;
        text += separator + std::to_string(count) + " " + why;
        separator = ", ";
    }
    return text + ")";
}

ResultJson DropsJson(const ControlDrops &drops)
{
    return {{"total", drops.Total()},           {"malformed", drops.Malformed},
            {"unauthentic", drops.Unauthentic}, {"replayed", drops.Replayed},
            {"out_of_place", drops.OutOfPlace}, {"overflow", drops.Overflow}};
}

ControlLink::ControlLink() : state_(new State), seq_(static_cast<uint64_t>(WallClockNs())) {}

static void OnClosed(natsConnection *, void *closure)
{
    auto *state = static_cast<ControlLink::State *>(closure);
    std::lock_guard<std::mutex> guard(state->Lock);
    state->Closed = true;
    state->Changed.notify_all();
}

ControlLink::~ControlLink()
{
    for (natsSubscription *subscription : subscriptions_)
        natsSubscription_Destroy(subscription);
    if (connection_ == nullptr) {
        delete state_;
        return;
    }
    natsConnection_Close(connection_);
    bool closed;
    {
        std::unique_lock<std::mutex> guard(state_->Lock);
        closed = state_->Changed.wait_for(guard, std::chrono::milliseconds(CloseWaitMs),
                                          [this] { return state_->Closed; });
    }
    natsConnection_Destroy(connection_);
    /* Freed only once libnats says no callback can come any more. */
    if (closed)
        delete state_;
}

/* The options of settings for a connection named name; false with *error. */
static bool SetOptions(natsOptions *options, const ControlSettings &settings,
                       const std::string &name, void *state, std::string *error)
{
    std::vector<const char *> urls;
    for (const std::string &url : settings.Urls)
        urls.push_back(url.c_str());
    natsStatus status = natsOptions_SetServers(options, urls.data(), static_cast<int>(urls.size()));
    if (status == NATS_OK)
        status = natsOptions_SetName(options, name.c_str());
    if (status == NATS_OK)
        status = natsOptions_SetMaxReconnect(options, -1);
    if (status == NATS_OK)
        status = natsOptions_SetReconnectWait(options, ReconnectWaitMs);
    if (status == NATS_OK)
        status = natsOptions_SetPingInterval(options, PingIntervalMs);
    if (status == NATS_OK)
        status = natsOptions_SetMaxPingsOut(options, MaxPingsOut);
    if (status == NATS_OK)
        status = natsOptions_SetClosedCB(options, OnClosed, state);
    if (status == NATS_OK && settings.Secure)
        status = natsOptions_SetSecure(options, true);
    if (status == NATS_OK && !settings.Ca.empty())
        status = natsOptions_LoadCATrustedCertificates(options, settings.Ca.c_str());
    if (status == NATS_OK && !settings.Cert.empty())
        status =
            natsOptions_LoadCertificatesChain(options, settings.Cert.c_str(), settings.Key.c_str());
    if (status == NATS_OK && !settings.Creds.empty())
        status = natsOptions_SetUserCredentialsFromFiles(options, settings.Creds.c_str(), nullptr);
    if (status == NATS_OK)
        return true;
    *error = std::string("the control plane's NATS settings are refused: ") +
             natsStatus_GetText(status) + " (" + nats_GetLastError(nullptr) + ")";
    return false;
}

bool ControlLink::Open(const std::string &role, const std::string &group, std::string *error)
{
    ControlSettings settings;
    if (!ReadControlSettings(&settings, error) || !ReadControlKey(&state_->Key, error))
        return false;
    prefix_ = settings.Prefix;
    natsOptions *options = nullptr;
    if (natsOptions_Create(&options) != NATS_OK) {
        *error = "libnats cannot make its options";
        return false;
    }
    bool set =
        SetOptions(options, settings, "tfxclnt " + role + " of group " + group, state_, error);
    natsStatus status = NATS_ERR;
    if (set) {
        SignalsBlocked blocked;
        status = natsConnection_Connect(&connection_, options);
    }
    natsOptions_Destroy(options);
    if (!set)
        return false;
    if (status != NATS_OK) {
        connection_ = nullptr;
        *error = "the control plane at " + ShownUrls(settings) +
                 " cannot be reached: " + natsStatus_GetText(status);
        return false;
    }
    name_ = ProcessName();
    self_ = Subject(role, name_);
    return Subscribe(self_, error);
}

std::string ControlLink::Subject(const std::string &kind, const std::string &name) const
{
    return prefix_ + ".tfxclnt." + kind + "." + Token(name);
}

static void OnMessage(natsConnection *, natsSubscription *, natsMsg *received, void *closure)
{
    auto *state = static_cast<ControlLink::State *>(closure);
    ControlMessage message;
    ControlVerdict verdict =
        ReadControlMessage(state->Key, natsMsg_GetSubject(received), natsMsg_GetData(received),
                           static_cast<size_t>(natsMsg_GetDataLength(received)), &message);
    natsMsg_Destroy(received);
    std::lock_guard<std::mutex> guard(state->Lock);
    ControlDrops &drops = state->Drops;
    if (verdict != ControlVerdict::Taken) {
        ++(verdict == ControlVerdict::Malformed ? drops.Malformed : drops.Unauthentic);
        return;
    }
    auto last = state->Last.find(message.From);
    if (last != state->Last.end() && message.Seq <= last->second) {
        ++drops.Replayed;
        return;
    }
    if (state->Queue.size() >= MaxQueued ||
        (last == state->Last.end() && state->Last.size() >= MaxSenders)) {
        ++drops.Overflow;
        return;
    }
    state->Last[message.From] = message.Seq;
    state->Queue.push_back(std::move(message));
    state->Changed.notify_all();
}

bool ControlLink::Subscribe(const std::string &subject, std::string *error)
{
    natsSubscription *subscription = nullptr;
    natsStatus status;
    {
        SignalsBlocked blocked;
        status = natsConnection_Subscribe(&subscription, connection_, subject.c_str(), OnMessage,
                                          state_);
        if (status == NATS_OK)
            status = natsConnection_FlushTimeout(connection_, SubscribeConfirmMs);
    }
    if (subscription != nullptr)
        subscriptions_.push_back(subscription);
    if (status == NATS_OK)
        return true;
    *error = "the control plane does not take a subscription to " + subject + ": " +
             natsStatus_GetText(status);
    return false;
}

bool ControlLink::Publish(const std::string &subject, ResultJson message)
{
    message["from"] = self_;
    message["name"] = name_;
    message["seq"] = ++seq_;
    std::string body = SealControlMessage(state_->Key, subject, message);
    return natsConnection_Publish(connection_, subject.c_str(), body.data(),
                                  static_cast<int>(body.size())) == NATS_OK;
}

bool ControlLink::Next(int ms, ControlMessage *message)
{
    std::unique_lock<std::mutex> guard(state_->Lock);
    if (!state_->Changed.wait_for(guard, std::chrono::milliseconds(ms),
                                  [this] { return !state_->Queue.empty(); }))
        return false;
    *message = std::move(state_->Queue.front());
    state_->Queue.pop_front();
    return true;
}

void ControlLink::Refuse()
{
    std::lock_guard<std::mutex> guard(state_->Lock);
    ++state_->Drops.OutOfPlace;
}

ControlDrops ControlLink::Drops() const
{
    std::lock_guard<std::mutex> guard(state_->Lock);
    return state_->Drops;
}

bool ControlLink::Disconnected() const
{
    return natsConnection_Status(connection_) != NATS_CONN_STATUS_CONNECTED;
}
