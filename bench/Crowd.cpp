/* qlx-crowd: a crowd of careless clients for measuring the service beside
 * them. PEERS DEALERs connect to ENDPOINT, each sends ROUNDS transactions of
 * SIZE bytes, a round every INTERVAL milliseconds (default 0: all at once),
 * takes in at most one reply and reads none; then the crowd holds its
 * connections until SIGINT or SIGTERM. It prints "sent" once every
 * transaction is queued.
 *
 * Usage: qlx-crowd ENDPOINT PEERS ROUNDS SIZE [INTERVAL] */
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>
#include <zmq.h>

static volatile sig_atomic_t Running = 1;

static void Stop(int)
{
    Running = 0;
}

/* The 16 bytes of a QLX/1 transaction's header: version 1, kind T. */
static std::string TransactionHeader(uint64_t requestId)
{
    std::string header(16, '\0');
    header[0] = 1;
    header[1] = 'T';
    for (int i = 0; i < 8; ++i)
        header[8 + i] = static_cast<char>(requestId >> (8 * i));
    return header;
}

static bool SendTransaction(void *socket, uint64_t requestId, const std::string &data)
{
    const std::string header = TransactionHeader(requestId);
    return zmq_send(socket, header.data(), header.size(), ZMQ_SNDMORE) >= 0 &&
           zmq_send(socket, "", 0, ZMQ_SNDMORE) >= 0 &&
           zmq_send(socket, data.data(), data.size(), 0) >= 0;
}

static void RaiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        (void)setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int main(int argc, char **argv)
{
    if (argc != 5 && argc != 6) {
        fprintf(stderr, "usage: qlx-crowd ENDPOINT PEERS ROUNDS SIZE [INTERVAL]\n");
        return 2;
    }
    const int peers = atoi(argv[2]);
    const int rounds = atoi(argv[3]);
    const std::string data(strtoul(argv[4], nullptr, 10), 'C');
    const useconds_t interval = argc == 6 ? 1000 * static_cast<useconds_t>(atoi(argv[5])) : 0;
    struct sigaction action {};
    action.sa_handler = Stop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    RaiseDescriptorLimit();
    void *context = zmq_ctx_new();
    zmq_ctx_set(context, ZMQ_MAX_SOCKETS, peers + 8);
    std::vector<void *> sockets;
    const int linger = 0;
    const int one = 1;
    for (int i = 0; i < peers; ++i) {
        void *socket = zmq_socket(context, ZMQ_DEALER);
        if (socket == nullptr || zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger) != 0 ||
            zmq_setsockopt(socket, ZMQ_RCVHWM, &one, sizeof one) != 0 ||
            zmq_connect(socket, argv[1]) != 0) {
            fprintf(stderr, "qlx-crowd: peer %d: %s\n", i, zmq_strerror(errno));
            return 1;
        }
        sockets.push_back(socket);
    }
    for (int round = 1; round <= rounds && Running; ++round) {
        for (void *socket : sockets) {
            if (!SendTransaction(socket, static_cast<uint64_t>(round), data)) {
                fprintf(stderr, "qlx-crowd: send: %s\n", zmq_strerror(errno));
                return 1;
            }
        }
        if (interval > 0)
            usleep(interval);
    }
    printf("sent\n");
    fflush(stdout);
    while (Running)
        pause();
    for (void *socket : sockets)
        zmq_close(socket);
    zmq_ctx_term(context);
    return 0;
}
