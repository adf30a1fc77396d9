/* A plain HTTP/1.0 GET on the loopback address, read to its end. */
#ifndef TFX_TESTS_SUPPORT_HTTPGET_H
#define TFX_TESTS_SUPPORT_HTTPGET_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace tfxtest {

/* The whole reply, head and body, to GET path at 127.0.0.1:port, as far as
 * it came within 20 s; empty when nobody listens there. */
inline std::string HttpGet(int port, const std::string &path)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
    std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
    std::string reply;
    bool sent = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size());
    char chunk[65536];
    pollfd wait{fd, POLLIN, 0};
    for (ssize_t got = 1; sent && got > 0 && poll(&wait, 1, 20000) == 1;
         reply.append(chunk, size_t(got > 0 ? got : 0)))
        got = recv(fd, chunk, sizeof chunk, 0);
    (void)close(fd);
    return reply;
}

/* The body of a reply of HttpGet; empty when it has none. */
inline std::string HttpBody(const std::string &reply)
{
    size_t head = reply.find("\r\n\r\n");
    return head == std::string::npos ? "" : reply.substr(head + 4);
}

} // namespace tfxtest

#endif
