#include "metrics/MetricsListener.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

struct MetricsPeer {
    int Fd; /* -1: a free place */
    uint64_t CameMs;
    size_t InLength;
    char In[MetricsRequestLimit];
    MetricsText Out; /* empty until the request is whole */
    size_t Sent;
};

struct MetricsServer {
    int Listener;
    int Wake[2]; /* a byte on Wake[1] stops the thread */
    pthread_t Thread;
    MetricsRender Render;
    void *Context;
    std::atomic<uint64_t> RepliesSent;
    MetricsPeer Peers[MetricsConnectionLimit];
};

static uint64_t NowMs()
{
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

static bool ReadPort(const char *text, in_port_t *port)
{
    char *end = nullptr;
    if (text[0] < '0' || text[0] > '9')
        return false;
    errno = 0;
    unsigned long value = strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || value == 0 || value > 65535)
        return false;
    *port = htons(static_cast<uint16_t>(value));
    return true;
}

bool ParseMetricsAddress(const char *text, sockaddr_in *address, const char **why)
{
    *address = sockaddr_in{};
    address->sin_family = AF_INET;
    const char *colon = strrchr(text, ':');
    const char *port = colon != nullptr ? colon + 1 : text;
    if (!ReadPort(port, &address->sin_port)) {
        *why = "the port must be a number from 1 to 65535";
        return false;
    }
    if (colon == nullptr) {
        address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return true;
    }
    char host[INET_ADDRSTRLEN];
    size_t length = static_cast<size_t>(colon - text);
    if (length == 0 || length >= sizeof host) {
        *why = "give the address in full (0.0.0.0:9464 for every interface), or a bare port for "
               "127.0.0.1";
        return false;
    }
    memcpy(host, text, length);
    host[length] = '\0';
    if (inet_pton(AF_INET, host, &address->sin_addr) == 1)
        return true;
    *why = "the address must be an IPv4 address such as 127.0.0.1 or 0.0.0.0";
    return false;
}

static void ClosePeer(MetricsPeer *peer)
{
    (void)close(peer->Fd);
    peer->Fd = -1;
    FreeMetricsText(&peer->Out);
}

static void Reply(MetricsPeer *peer, const char *status, const char *type, const MetricsText &body)
{
    char head[256];
    int length = snprintf(head, sizeof head,
                          "HTTP/1.1 %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\n"
                          "Connection: close\r\n\r\n",
                          status, type, body.Length);
    AppendText(&peer->Out, head, static_cast<size_t>(length));
    AppendText(&peer->Out, body.Data != nullptr ? body.Data : "", body.Length);
}

static void ReplyText(MetricsPeer *peer, const char *status, const char *text)
{
    MetricsText body{};
    AppendText(&body, text, strlen(text));
    Reply(peer, status, "text/plain; charset=utf-8", body);
    FreeMetricsText(&body);
}

/* The request line decides: GET /metrics (a query allowed) is answered with
 * the exposition, another path of GET is not found, the rest is bad. */
static void Answer(MetricsServer *server, MetricsPeer *peer)
{
    static const char Get[] = "GET ";
    static const char Path[] = "/metrics";
    const char *in = peer->In;
    if (strncmp(in, Get, 4) != 0) {
        ReplyText(peer, "400 Bad Request", "only GET /metrics is served\n");
        return;
    }
    const char *path = in + 4;
    char after = path[sizeof Path - 1];
    if (strncmp(path, Path, sizeof Path - 1) != 0 || (after != ' ' && after != '?')) {
        ReplyText(peer, "404 Not Found", "only /metrics is served\n");
        return;
    }
    MetricsText body{};
    server->Render(&body, server->Context);
    if (body.Failed)
        ReplyText(peer, "503 Service Unavailable", "out of memory\n");
    else
        Reply(peer, "200 OK", MetricsContentType, body);
    FreeMetricsText(&body);
}

static bool RequestWhole(const MetricsPeer &peer)
{
    return strstr(peer.In, "\r\n\r\n") != nullptr || strstr(peer.In, "\n\n") != nullptr;
}

/* Reads what has come; answers once the head is whole. A peer that closes
 * first, or sends more than the limit without ending its head, is closed. */
static void ReadRequest(MetricsServer *server, MetricsPeer *peer)
{
    size_t room = sizeof peer->In - 1 - peer->InLength;
    ssize_t got = recv(peer->Fd, peer->In + peer->InLength, room, 0);
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (got <= 0) {
        ClosePeer(peer);
        return;
    }
    peer->InLength += static_cast<size_t>(got);
    peer->In[peer->InLength] = '\0';
    if (strlen(peer->In) != peer->InLength)
        ReplyText(peer, "400 Bad Request", "a request holds no zero byte\n");
    else if (RequestWhole(*peer))
        Answer(server, peer);
    else if (peer->InLength == sizeof peer->In - 1)
        ClosePeer(peer);
    if (peer->Fd >= 0 && peer->Out.Failed)
        ClosePeer(peer);
}

static void WriteReply(MetricsServer *server, MetricsPeer *peer)
{
    if (peer->Out.Failed) {
        ClosePeer(peer);
        return;
    }
    ssize_t sent =
        send(peer->Fd, peer->Out.Data + peer->Sent, peer->Out.Length - peer->Sent, MSG_NOSIGNAL);
    if (sent < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (sent < 0) {
        ClosePeer(peer);
        return;
    }
    peer->Sent += static_cast<size_t>(sent);
    if (peer->Sent != peer->Out.Length)
        return;
    server->RepliesSent.fetch_add(1, std::memory_order_release);
    ClosePeer(peer);
}

static MetricsPeer *PlaceFor(MetricsServer *server)
{
    MetricsPeer *oldest = &server->Peers[0];
    for (MetricsPeer &peer : server->Peers) {
        if (peer.Fd < 0)
            return &peer;
        if (peer.CameMs < oldest->CameMs)
            oldest = &peer;
    }
    ClosePeer(oldest);
    return oldest;
}

/* accept, not accept4: libqlx's accept4 counts the connections of its
 * services, and these are none of them. */
static void AcceptAll(MetricsServer *server)
{
    for (;;) {
        int fd = accept(server->Listener, nullptr, nullptr);
        if (fd < 0)
            return;
        (void)fcntl(fd, F_SETFD, FD_CLOEXEC);
        (void)fcntl(fd, F_SETFL, O_NONBLOCK);
        MetricsPeer *peer = PlaceFor(server);
        peer->Fd = fd;
        peer->CameMs = NowMs();
        peer->InLength = 0;
        peer->In[0] = '\0';
        peer->Out = MetricsText{};
        peer->Sent = 0;
    }
}

/* Closes the peers past their time; returns how long the next may wait. */
static int CloseExpired(MetricsServer *server)
{
    uint64_t now = NowMs();
    uint64_t wait = MetricsConnectionMs;
    for (MetricsPeer &peer : server->Peers) {
        if (peer.Fd < 0)
            continue;
        uint64_t age = now - peer.CameMs;
        if (age >= MetricsConnectionMs) {
            ClosePeer(&peer);
            continue;
        }
        if (MetricsConnectionMs - age < wait)
            wait = MetricsConnectionMs - age;
    }
    return static_cast<int>(wait);
}

static void *Serve(void *argument)
{
    auto *server = static_cast<MetricsServer *>(argument);
    pollfd fds[2 + MetricsConnectionLimit];
    for (;;) {
        int wait = CloseExpired(server);
        fds[0] = pollfd{server->Wake[0], POLLIN, 0};
        fds[1] = pollfd{server->Listener, POLLIN, 0};
        for (size_t i = 0; i < MetricsConnectionLimit; ++i) {
            const MetricsPeer &peer = server->Peers[i];
            short events = peer.Out.Length != 0 ? POLLOUT : POLLIN;
            fds[2 + i] = pollfd{peer.Fd, events, 0};
        }
        if (poll(fds, 2 + MetricsConnectionLimit, wait) < 0 && errno != EINTR)
            return nullptr;
        if (fds[0].revents != 0)
            return nullptr;
        for (size_t i = 0; i < MetricsConnectionLimit; ++i) {
            MetricsPeer *peer = &server->Peers[i];
            if (peer->Fd < 0 || fds[2 + i].revents == 0)
                continue;
            if (peer->Out.Length != 0)
                WriteReply(server, peer);
            else
                ReadRequest(server, peer);
        }
        if (fds[1].revents != 0)
            AcceptAll(server);
    }
}

static int Listen(const sockaddr_in &address, char *why, size_t whySize)
{
    char shown[INET_ADDRSTRLEN] = "?";
    (void)inet_ntop(AF_INET, &address.sin_addr, shown, sizeof shown);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int on = 1;
    const char *call = "socket";
    if (fd >= 0) {
        call = "bind";
        (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) {
            call = "listen";
            if (listen(fd, 64) == 0)
                return fd;
        }
    }
    (void)snprintf(why, whySize, "%s %s:%u: %s", call, shown,
                   static_cast<unsigned>(ntohs(address.sin_port)), strerror(errno));
    if (fd >= 0)
        (void)close(fd);
    return -1;
}

MetricsServer *StartMetricsServer(const sockaddr_in &address, MetricsRender render, void *context,
                                  char *why, size_t whySize)
{
    auto *server = static_cast<MetricsServer *>(calloc(1, sizeof(MetricsServer)));
    if (server == nullptr) {
        (void)snprintf(why, whySize, "out of memory");
        return nullptr;
    }
    for (MetricsPeer &peer : server->Peers)
        peer.Fd = -1;
    server->Render = render;
    server->Context = context;
    server->Listener = Listen(address, why, whySize);
    if (server->Listener >= 0 && pipe2(server->Wake, O_CLOEXEC) == 0) {
        int failed = pthread_create(&server->Thread, nullptr, Serve, server);
        if (failed == 0)
            return server;
        errno = failed;
        (void)close(server->Wake[0]);
        (void)close(server->Wake[1]);
    }
    if (server->Listener >= 0) {
        (void)snprintf(why, whySize, "the listener's thread cannot start: %s", strerror(errno));
        (void)close(server->Listener);
    }
    free(server);
    return nullptr;
}

uint64_t MetricsRepliesSent(const MetricsServer *server)
{
    return server->RepliesSent.load(std::memory_order_acquire);
}

void StopMetricsServer(MetricsServer *server)
{
    if (server == nullptr)
        return;
    static const char Stop = 's';
    (void)!write(server->Wake[1], &Stop, 1);
    (void)pthread_join(server->Thread, nullptr);
    for (MetricsPeer &peer : server->Peers)
        if (peer.Fd >= 0)
            ClosePeer(&peer);
    (void)close(server->Wake[0]);
    (void)close(server->Wake[1]);
    (void)close(server->Listener);
    free(server);
}
