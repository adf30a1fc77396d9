/* qlx-nats-echo: the thinnest service that answers QLX/1 over NATS, the
 * yardstick for the traffic server over NATS. It takes each transaction from
 * the element's work subject in the element's queue group, as the server
 * does, and answers it with one final response that carries its data back,
 * from libnats's own delivery: no queue, no wake-up, no copy beyond the one
 * that turns the kind into a response.
 *
 * Usage: qlx-nats-echo URL WORK-SUBJECT QUEUE-GROUP
 * Ends on SIGINT or SIGTERM. */
#include <csignal>
#include <cstdio>
#include <cstring>
#include <nats/nats.h>
#include <unistd.h>
#include <vector>

static unsigned long Answered = 0;

/* The body is a byte with the message id's length, the 16-byte header, the
 * message id and the data; byte 2 is the kind. */
static void Answer(natsConnection *nc, natsSubscription *, natsMsg *msg, void *)
{
    static std::vector<char> body;
    const char *reply = natsMsg_GetReply(msg);
    int size = natsMsg_GetDataLength(msg);
    if (reply != nullptr && size >= 17 && natsMsg_GetData(msg)[2] == 'T') {
        body.assign(natsMsg_GetData(msg), natsMsg_GetData(msg) + size);
        body[2] = 'R';
        body[3] = body[4] = 0;
        if (natsConnection_Publish(nc, reply, body.data(), size) == NATS_OK)
            ++Answered;
    }
    natsMsg_Destroy(msg);
}

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: qlx-nats-echo URL WORK-SUBJECT QUEUE-GROUP\n");
        return 2;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    natsOptions *options = nullptr;
    natsConnection *nc = nullptr;
    natsSubscription *sub = nullptr;
    natsStatus status = natsOptions_Create(&options);
    if (status == NATS_OK)
        status = natsOptions_SetURL(options, argv[1]);
    if (status == NATS_OK)
        status = natsOptions_SetSendAsap(options, true);
    if (status == NATS_OK)
        status = natsConnection_Connect(&nc, options);
    if (status == NATS_OK)
        status = natsConnection_QueueSubscribe(&sub, nc, argv[2], argv[3], Answer, nullptr);
    if (status == NATS_OK)
        status = natsSubscription_SetPendingLimits(sub, -1, -1);
    if (status == NATS_OK)
        status = natsConnection_Flush(nc);
    if (status != NATS_OK) {
        fprintf(stderr, "qlx-nats-echo: %s: %s\n", argv[1], natsStatus_GetText(status));
        return 1;
    }
    printf("qlx-nats-echo: serving %s\n", argv[2]);
    fflush(stdout);
    int signal = 0;
    sigwait(&stop, &signal);
    natsSubscription_Destroy(sub);
    natsConnection_Destroy(nc);
    natsOptions_Destroy(options);
    printf("qlx-nats-echo: answered %lu transactions\n", Answered);
    return 0;
}
