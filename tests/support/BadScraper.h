/* Scrapers that misbehave towards a metrics listener, drawn by a seeded
 * generator: silent, garbage, half a head and no more, a request never
 * read, a head over the limit, gone at once. */
#ifndef TFX_TESTS_SUPPORT_BADSCRAPER_H
#define TFX_TESTS_SUPPORT_BADSCRAPER_H

#include <arpa/inet.h>
#include <iterator>
#include <netinet/in.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "metrics/MetricsListener.h"

namespace tfxtest {

/* Connects to 127.0.0.1:port and misbehaves on the connection as draw
 * picks; returns it, left open to the caller, or -1. */
inline int BadScrape(int port, std::mt19937_64 &draw)
{
    std::string garbage(size_t(draw() % 3000), char(draw() % 256));
    const std::string requests[] = {
        "", garbage + "\r\n\r\n", "GET /metr", "GET /metrics HTTP/1.1\r\n\r\n",
        "GET /metrics HTTP/1.1\r\nX: " + std::string(MetricsRequestLimit, 'x')};
    const std::string &request = requests[draw() % std::size(requests)];
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        (void)close(fd);
        return -1;
    }
    (void)send(fd, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (draw() % 6 == 0)
        (void)shutdown(fd, SHUT_RDWR);
    return fd;
}

} // namespace tfxtest

#endif
