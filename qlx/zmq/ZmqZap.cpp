#include "qlx/zmq/ZmqZap.h"

#include <cerrno>
#include <csignal>
#include <future>
#include <map>
#include <mutex>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <zmq.h>

#include "qlx/ErrorRecord.h"
#include "qlx/core/Errors.h"
#include "qlx/zmq/ZmqSocket.h"

namespace qlx {

namespace {

const char ZapEndpoint[] = "inproc://zeromq.zap.01";

struct Domain {
    std::set<std::string> Allowed;
    std::shared_ptr<std::atomic<uint64_t>> Refused;
};

/* The handler thread and its stop signal, started and stopped under
 * LifeLock; the domains, which the thread reads too, under DomainLock. */
std::mutex LifeLock;
std::thread Handler;
int StopFd = -1;     /* turns readable when the handler is to end */
uint64_t Opened = 0; /* domains opened so far: each gets a name of its own */
std::mutex DomainLock;
std::map<std::string, Domain> Domains;

enum : size_t { RequestFrames = 7, CredentialFrame = 6, CurveKeySize = 32 };

/* Whether a ZAP request of frames from domain passes: CURVE with an allowed
 * key. Counts a refusal for a known domain. */
bool Allows(const std::string *frames, size_t count)
{
    std::lock_guard<std::mutex> guard(DomainLock);
    auto domain = Domains.find(frames[2]);
    if (domain == Domains.end())
        return false;
    if (count == RequestFrames && frames[0] == "1.0" && frames[5] == "CURVE" &&
        frames[CredentialFrame].size() == CurveKeySize &&
        domain->second.Allowed.count(frames[CredentialFrame]) != 0)
        return true;
    domain->second.Refused->fetch_add(1, std::memory_order_relaxed);
    return false;
}

/* Receives one request on the handler's REP socket and answers it. */
void Answer(void *socket)
{
    std::string frames[RequestFrames];
    size_t count = 0;
    for (bool more = true; more; ++count) {
        zmq_msg_t part;
        (void)zmq_msg_init(&part);
        if (zmq_msg_recv(&part, socket, 0) < 0) {
            (void)zmq_msg_close(&part);
            return;
        }
        if (count < RequestFrames)
            frames[count].assign(static_cast<const char *>(zmq_msg_data(&part)),
                                 zmq_msg_size(&part));
        more = zmq_msg_more(&part) != 0;
        (void)zmq_msg_close(&part);
    }
    bool allowed = Allows(frames, count);
    const std::string reply[] = {
        "1.0", frames[1], allowed ? "200" : "400", allowed ? "OK" : "client key not allowed",
        "",    ""};
    for (size_t i = 0; i < 6; ++i)
        (void)zmq_send(socket, reply[i].data(), reply[i].size(), i < 5 ? ZMQ_SNDMORE : 0);
}

/* The handler thread: binds the ZAP endpoint, says whether it could, and
 * answers requests until told to stop. */
void Serve(void *context, int stopFd, std::promise<int> *bound)
{
    void *socket = zmq_socket(context, ZMQ_REP);
    int linger = 0;
    if (socket == nullptr || zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger) != 0 ||
        zmq_bind(socket, ZapEndpoint) != 0) {
        bound->set_value(errno);
        if (socket != nullptr)
            (void)zmq_close(socket);
        return;
    }
    bound->set_value(0);
    zmq_pollitem_t items[] = {{socket, 0, ZMQ_POLLIN, 0}, {nullptr, stopFd, ZMQ_POLLIN, 0}};
    for (;;) {
        if (zmq_poll(items, 2, -1) < 0 && errno != EINTR)
            break;
        if (items[1].revents != 0)
            break;
        if (items[0].revents != 0)
            Answer(socket);
    }
    (void)zmq_close(socket);
}

/* Starts the handler thread with every signal blocked: signals are for the
 * program's own threads. */
bool StartHandler()
{
    void *context = AcquireContext();
    if (context == nullptr)
        return false;
    StopFd = eventfd(0, EFD_CLOEXEC);
    if (StopFd < 0) {
        DetailErrno("eventfd", errno);
        ReleaseContext();
        return Fail(QLXRC_TRANSPORT, "the handler of CurveZMQ handshakes cannot be started");
    }
    std::promise<int> bound;
    sigset_t all;
    sigset_t saved;
    (void)sigfillset(&all);
    (void)pthread_sigmask(SIG_SETMASK, &all, &saved);
    Handler = std::thread(Serve, context, StopFd, &bound);
    (void)pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    int error = bound.get_future().get();
    if (error == 0)
        return true;
    Handler.join();
    (void)close(StopFd);
    ReleaseContext();
    DetailZmqErrno((std::string("zmq_bind ") + ZapEndpoint).c_str(), error);
    return Fail(QLXRC_TRANSPORT, "the handler of CurveZMQ handshakes cannot be started");
}

void StopHandler()
{
    uint64_t one = 1;
    (void)!write(StopFd, &one, sizeof one);
    Handler.join();
    (void)close(StopFd);
    StopFd = -1;
    ReleaseContext();
}

} // namespace

static bool NoDomains()
{
    std::lock_guard<std::mutex> guard(DomainLock);
    return Domains.empty();
}

std::unique_ptr<ZapDomain> ZapDomain::Open(std::set<std::string> allowed)
{
    std::lock_guard<std::mutex> life(LifeLock);
    if (NoDomains() && !StartHandler())
        return nullptr;
    auto refused = std::make_shared<std::atomic<uint64_t>>(0);
    std::string name = "qlx-" + std::to_string(++Opened);
    std::lock_guard<std::mutex> guard(DomainLock);
    Domains[name] = Domain{std::move(allowed), refused};
    return std::unique_ptr<ZapDomain>(new ZapDomain(name, refused));
}

ZapDomain::~ZapDomain()
{
    std::lock_guard<std::mutex> life(LifeLock);
    {
        std::lock_guard<std::mutex> guard(DomainLock);
        Domains.erase(name_);
    }
    if (NoDomains())
        StopHandler();
}

} // namespace qlx
