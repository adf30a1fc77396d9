/* qlx-loadloop: the least a client can do to load a QLX/1 service: keep a
 * window of transactions outstanding on one connection for a while and count
 * the final responses. No timing per message, no checks: the yardstick for
 * tfxclnt's own cost, and the load under which the server is measured against
 * the bare echo. Round trips are timed with the one clock read the loop makes
 * for each reply anyway.
 *
 * Usage: qlx-loadloop ENDPOINT WINDOW SECONDS [SIZE]
 * Prints: transactions: N, seconds: S, rate: R [tx/s], p50: M [us]. */
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <zmq.h>

#include "util/Clock.h"

static void SendTransaction(void *socket, uint64_t id, const std::vector<char> &data)
{
    uint8_t header[16] = {1, 'T', 0, 0, 0, 0, 0, 0};
    memcpy(header + 8, &id, sizeof id);
    if (zmq_send(socket, header, sizeof header, ZMQ_SNDMORE) < 0 ||
        zmq_send(socket, "", 0, ZMQ_SNDMORE) < 0 ||
        zmq_send(socket, data.data(), data.size(), 0) < 0) {
        fprintf(stderr, "qlx-loadloop: send: %s\n", zmq_strerror(errno));
        exit(1);
    }
}

/* Receives one whole reply; true when it is a final response, whose request
 * id is then in *id. */
static bool ReceiveReply(void *socket, zmq_msg_t *part, uint64_t *id)
{
    bool final = false;
    int index = 0;
    do {
        if (zmq_msg_recv(part, socket, 0) < 0) {
            fprintf(stderr, "qlx-loadloop: receive: %s\n", zmq_strerror(errno));
            exit(1);
        }
        if (index++ == 0 && zmq_msg_size(part) == 16) {
            const uint8_t *header = static_cast<const uint8_t *>(zmq_msg_data(part));
            final = header[1] == 'R' && (header[2] & 2) == 0;
            memcpy(id, header + 8, sizeof *id);
        }
    } while (zmq_msg_more(part));
    return final;
}

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: qlx-loadloop ENDPOINT WINDOW SECONDS [SIZE]\n");
        return 2;
    }
    int window = atoi(argv[2]);
    double seconds = atof(argv[3]);
    std::vector<char> data(argc > 4 ? static_cast<size_t>(atoi(argv[4])) : 64, '\0');
    void *context = zmq_ctx_new();
    void *socket = zmq_socket(context, ZMQ_DEALER);
    int linger = 0;
    zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger);
    if (zmq_connect(socket, argv[1]) != 0) {
        fprintf(stderr, "qlx-loadloop: connect %s: %s\n", argv[1], zmq_strerror(errno));
        return 1;
    }
    zmq_msg_t part;
    zmq_msg_init(&part);
    uint64_t sent = 0;
    uint64_t done = 0;
    /* Ids run on, so the window's outstanding ones each have a slot. */
    std::vector<uint64_t> sentAt(static_cast<size_t>(window));
    std::vector<uint64_t> roundTrips;
    roundTrips.reserve(1u << 20);
    uint64_t start = MonotonicNs();
    for (; sent < static_cast<uint64_t>(window); ++sent) {
        sentAt[sent % sentAt.size()] = start;
        SendTransaction(socket, sent, data);
    }
    uint64_t end = start + static_cast<uint64_t>(seconds * 1e9);
    uint64_t id = 0;
    for (uint64_t now = start; now < end;) {
        bool final = ReceiveReply(socket, &part, &id);
        now = MonotonicNs();
        if (!final)
            continue;
        ++done;
        roundTrips.push_back(now - sentAt[id % sentAt.size()]);
        sentAt[sent % sentAt.size()] = now;
        SendTransaction(socket, sent++, data);
    }
    double elapsed = static_cast<double>(MonotonicNs() - start) / 1e9;
    auto middle = roundTrips.begin() + static_cast<std::ptrdiff_t>(roundTrips.size() / 2);
    std::nth_element(roundTrips.begin(), middle, roundTrips.end());
    double p50 = roundTrips.empty() ? 0.0 : static_cast<double>(*middle) / 1e3;
    printf("transactions: %llu\nseconds: %.3f\nrate: %.1f [tx/s]\np50: %.2f [us]\n",
           static_cast<unsigned long long>(done), elapsed, static_cast<double>(done) / elapsed,
           p50);
    zmq_msg_close(&part);
    zmq_close(socket);
    zmq_ctx_term(context);
    return 0;
}
