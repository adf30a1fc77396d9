#include "tests/support/BareNats.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tfxtest {

using Clock = std::chrono::steady_clock;

BareNats::BareNats(const std::string &url)
{
    size_t colon = url.rfind(':');
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(atoi(url.c_str() + colon + 1)));
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        failure_ = "no connection to " + url;
        return;
    }
    auto until = Clock::now() + std::chrono::seconds(30);
    std::string info;
    if (!Line(&info, until) || info.rfind("INFO ", 0) != 0 ||
        !Send("CONNECT {\"verbose\":false,\"pedantic\":false,\"name\":\"bare\"}\r\nPING\r\n") ||
        !Pong(until))
        failure_ = "no NATS handshake with " + url + ": " + info;
}

BareNats::~BareNats()
{
    if (fd_ >= 0)
        (void)close(fd_);
}

bool BareNats::Send(const std::string &bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t now = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (now <= 0)
            return false;
        sent += static_cast<size_t>(now);
    }
    return true;
}

/* More bytes into the buffer, waiting until until; false when none came. */
static bool Fill(int fd, std::string *buffer, Clock::time_point until)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    pollfd wanted{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&wanted, 1, static_cast<int>(left.count())) != 1)
        return false;
    char chunk[65536];
    ssize_t got = recv(fd, chunk, sizeof chunk, 0);
    if (got <= 0)
        return false;
    buffer->append(chunk, static_cast<size_t>(got));
    return true;
}

bool BareNats::Line(std::string *line, Clock::time_point until)
{
    size_t end;
    while ((end = buffer_.find("\r\n")) == std::string::npos)
        if (!Fill(fd_, &buffer_, until))
            return false;
    *line = buffer_.substr(0, end);
    buffer_.erase(0, end + 2);
    return true;
}

bool BareNats::Bytes(size_t count, std::string *bytes, Clock::time_point until)
{
    while (buffer_.size() < count + 2)
        if (!Fill(fd_, &buffer_, until))
            return false;
    *bytes = buffer_.substr(0, count);
    buffer_.erase(0, count + 2);
    return true;
}

/* Reads up to the server's PONG, answering its PINGs; messages before it
 * are dropped. */
bool BareNats::Pong(Clock::time_point until)
{
    std::string line;
    while (Line(&line, until)) {
        if (line == "PONG")
            return true;
        if (line == "PING" && !Send("PONG\r\n"))
            return false;
        if (line.rfind("MSG ", 0) == 0 &&
            !Bytes(strtoul(line.c_str() + line.rfind(' ') + 1, nullptr, 10), &line, until))
            return false;
    }
    return false;
}

bool BareNats::Subscribe(const std::string &subject)
{
    return Send("SUB " + subject + " " + std::to_string(++subscriptions_) + "\r\nPING\r\n") &&
           Pong(Clock::now() + std::chrono::seconds(30));
}

bool BareNats::Publish(const std::string &subject, const std::string &body)
{
    return Send("PUB " + subject + " " + std::to_string(body.size()) + "\r\n" + body + "\r\n");
}

bool BareNats::Next(BareMessage *message, std::chrono::milliseconds timeout)
{
    auto until = Clock::now() + timeout;
    std::string line;
    while (Line(&line, until)) {
        if (line == "PING" && !Send("PONG\r\n"))
            return false;
        if (line.rfind("MSG ", 0) != 0)
            continue;
        size_t subjectEnd = line.find(' ', 4);
        message->Subject = line.substr(4, subjectEnd - 4);
        return Bytes(strtoul(line.c_str() + line.rfind(' ') + 1, nullptr, 10), &message->Body,
                     until);
    }
    return false;
}

bool BareNats::NextHolding(const std::string &text, BareMessage *message,
                           std::chrono::milliseconds timeout)
{
    auto until = Clock::now() + timeout;
    while (Clock::now() < until)
        if (Next(message,
                 std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now())) &&
            message->Body.find(text) != std::string::npos)
            return true;
    return false;
}

} // namespace tfxtest
