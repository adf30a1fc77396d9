/* A TCP port on the loopback address that was free a moment ago. */
#ifndef TFX_TESTS_SUPPORT_LOOPBACKPORT_H
#define TFX_TESTS_SUPPORT_LOOPBACKPORT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tfxtest {

/* The port the system gives a socket bound to 127.0.0.1, or 0. */
inline int FreeLoopbackPort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    (void)close(fd);
    return port;
}

} // namespace tfxtest

#endif
