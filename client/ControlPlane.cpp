#include "client/ControlPlane.h"

#include <chrono>
#include <deque>
#include <cstdlib>
#include <unistd.h>

#include "qlx/qlx.h"

/* The connection's queue and state, shared with libnats's threads. */
class ControlLink::State : public qlx::NatsState {
  public:
    std::deque<ResultJson> Queue; /* under Lock */
};

/* The error libqlx recorded last, with its detail. */
static std::string LastQlxError()
{
    QLXERROR error{};
    (void)qlxGetLastError(&error);
    std::string text = error.PrimaryResult.Text;
    if (error.SubResult.Text[0] != '\0')
        text += std::string(" (") + error.SubResult.Text + ")";
    return text;
}

bool ReadControlSettings(qlx::NatsSettings *settings, std::string *error)
{
    const char *control = getenv("TFX_CONTROL");
    const char *endpoint = getenv("QLX_ENDPOINT");
    const char *chosen = control != nullptr && control[0] != '\0' ? control : endpoint;
    if (chosen == nullptr || (chosen == endpoint && !qlx::IsNatsEndpoint(endpoint))) {
        *error = "agents are reached over NATS: set TFX_CONTROL to the NATS servers of the "
                 "control plane (e.g. nats://host:4222), or QLX_ENDPOINT to NATS servers";
        return false;
    }
    if (!qlx::IsNatsEndpoint(chosen)) {
        *error = std::string("TFX_CONTROL=") + chosen +
                 " names no NATS servers: give nats:// or tls:// URLs, separated by commas";
        return false;
    }
    if (qlx::ReadNatsSettings(chosen, settings))
        return true;
    *error = (chosen == control ? "TFX_CONTROL: " : "QLX_ENDPOINT: ") + LastQlxError();
    return false;
}

std::string ProcessName()
{
    char host[256] = {};
    (void)gethostname(host, sizeof host - 1);
    return std::string(host) + ":" + std::to_string(getpid());
}

ControlLink::ControlLink() : state_(new State) {}

ControlLink::~ControlLink()
{
    for (natsSubscription *subscription : subscriptions_)
        natsSubscription_Destroy(subscription);
    /* Freed only once libnats says no callback can come any more. */
    if (connection_.Close(state_))
        delete state_;
    connection_.Destroy();
}

bool ControlLink::Open(const std::string &role, const std::string &group, std::string *error)
{
    qlx::NatsSettings settings;
    if (!ReadControlSettings(&settings, error))
        return false;
    if (!connection_.Open(settings, "tfxclnt " + role, "group " + group, state_, nullptr)) {
        *error = "the control plane at " + qlx::ShownUrls(settings) +
                 " cannot be reached: " + LastQlxError();
        return false;
    }
    return true;
}

std::string ControlLink::Subject(const std::string &kind, const std::string &name) const
{
    return connection_.Settings().Prefix + ".tfxclnt." + kind + "." +
           qlx::SubjectToken(name.data(), name.size());
}

static void OnMessage(natsConnection *, natsSubscription *, natsMsg *message, void *closure)
{
    auto *state = static_cast<qlx::NatsState *>(closure);
    const char *data = natsMsg_GetData(message);
    ResultJson json =
        ResultJson::parse(data, data + natsMsg_GetDataLength(message), nullptr, false);
    natsMsg_Destroy(message);
    if (!json.is_object())
        return;
    std::lock_guard<std::mutex> guard(state->Lock);
    static_cast<ControlLink::State *>(state)->Queue.push_back(std::move(json));
    state->Changed.notify_all();
}

bool ControlLink::Subscribe(const std::string &subject, std::string *error)
{
    natsSubscription *subscription = nullptr;
    natsStatus status;
    {
        qlx::SignalsBlocked blocked;
        status = natsConnection_Subscribe(&subscription, connection_.Get(), subject.c_str(),
                                          OnMessage, state_);
        if (status == NATS_OK)
            status = natsConnection_FlushTimeout(connection_.Get(), qlx::SubscribeConfirmMs);
    }
    if (subscription != nullptr)
        subscriptions_.push_back(subscription);
    if (status == NATS_OK)
        return true;
    *error = "the control plane does not take a subscription to " + subject + ": " +
             natsStatus_GetText(status);
    return false;
}

bool ControlLink::Publish(const std::string &subject, const ResultJson &message)
{
    std::string text = message.dump(-1, ' ', false, ResultJson::error_handler_t::replace);
    return natsConnection_Publish(connection_.Get(), subject.c_str(), text.data(),
                                  static_cast<int>(text.size())) == NATS_OK;
}

bool ControlLink::Next(int ms, ResultJson *message)
{
    std::unique_lock<std::mutex> guard(state_->Lock);
    if (!state_->Changed.wait_for(guard, std::chrono::milliseconds(ms),
                                  [this] { return !state_->Queue.empty(); }))
        return false;
    *message = std::move(state_->Queue.front());
    state_->Queue.pop_front();
    return true;
}

bool ControlLink::Disconnected() const
{
    return natsConnection_Status(connection_.Get()) != NATS_CONN_STATUS_CONNECTED;
}
