/* qlx-echo: the thinnest service that speaks QLX/1, the yardstick for the
 * traffic server. Each transaction is answered by one final response that
 * carries its data back, frames passed through without a copy. It holds no
 * lock file, so clients take it for what it is: another program's QLX/1
 * service.
 *
 * Usage: qlx-echo ENDPOINT   (ipc:///path or tcp://127.0.0.1:port)
 * Ends on SIGINT or SIGTERM. */
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <zmq.h>

static volatile sig_atomic_t Running = 1;

static void Stop(int)
{
    Running = 0;
}

static bool ReceivePart(zmq_msg_t *part, void *socket)
{
    while (zmq_msg_recv(part, socket, 0) < 0) {
        if (errno != EINTR || !Running)
            return false;
    }
    return true;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: qlx-echo ENDPOINT\n");
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = Stop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    void *context = zmq_ctx_new();
    void *socket = zmq_socket(context, ZMQ_ROUTER);
    int zero = 0;
    zmq_setsockopt(socket, ZMQ_LINGER, &zero, sizeof zero);
    if (zmq_bind(socket, argv[1]) != 0) {
        fprintf(stderr, "qlx-echo: cannot bind %s: %s\n", argv[1], zmq_strerror(errno));
        return 1;
    }
    printf("qlx-echo: serving %s\n", argv[1]);
    fflush(stdout);

    zmq_msg_t parts[4];
    for (zmq_msg_t &part : parts)
        zmq_msg_init(&part);
    unsigned long answered = 0;
    while (Running) {
        int count = 0;
        bool more = true;
        while (more && Running && count < 4 && ReceivePart(&parts[count], socket))
            more = zmq_msg_more(&parts[count++]);
        if (count != 4 || more || zmq_msg_size(&parts[1]) != 16)
            continue;
        uint8_t *header = static_cast<uint8_t *>(zmq_msg_data(&parts[1]));
        if (header[1] != 'T')
            continue;
        header[1] = 'R';
        header[2] = header[3] = 0;
        for (int i = 0; i < 4; ++i)
            zmq_msg_send(&parts[i], socket, i < 3 ? ZMQ_SNDMORE : 0);
        ++answered;
    }
    printf("qlx-echo: answered %lu transactions\n", answered);
    for (zmq_msg_t &part : parts)
        zmq_msg_close(&part);
    zmq_close(socket);
    zmq_ctx_term(context);
    return 0;
}
