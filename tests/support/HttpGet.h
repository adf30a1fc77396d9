/* A plain HTTP/1.0 GET on the loopback address, read to its end. */
#ifndef TFX_TESTS_SUPPORT_HTTPGET_H
#define TFX_TESTS_SUPPORT_HTTPGET_H

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace tfxtest {

/* The whole reply, head and body, to GET path at 127.0.0.1:port; empty when
 * nobody listens there or the reply does not end within 20 s. */
inline std::string HttpGet(int port, const std::string &path)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
        (void)close(fd);
        return reply;
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
        pollfd wait{fd, POLLIN, 0};
        if (poll(&wait, 1, 500) <= 0)
            continue;
        char chunk[65536];
        ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) {
            (void)close(fd);
            return reply;
        }
        reply.append(chunk, size_t(got));
    }
    (void)close(fd);
    return "";
}

/* The body of a reply of HttpGet; empty when it has none. */
inline std::string HttpBody(const std::string &reply)
{
    size_t head = reply.find("\r\n\r\n");
    return head == std::string::npos ? "" : reply.substr(head + 4);
}

} // namespace tfxtest

#endif
