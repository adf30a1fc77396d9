#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "qlx/qlx.h"
#include "tests/qlx/QlxHarness.h"

namespace {

using qlxtest::LastPrimaryText;
using qlxtest::ReplyData;
using Clock = std::chrono::steady_clock;

class Threads : public qlxtest::QlxTest {};

/* Echoes every transaction of service name until a stop request comes, or
 * a minute has passed; returns how many transactions it answered, or -1
 * when a call failed for another reason than no message. */
int EchoUntilStopped(const char *name, bool *opened)
{
    qlxtest::TestService service;
    *opened = service.Open(name);
    int answered = 0;
    auto deadline = Clock::now() + std::chrono::minutes(1);
    while (*opened && Clock::now() < deadline) {
        if (!service.Receive(200)) {
            if (qlxtest::LastReason() != QLXRC_NO_MESSAGE)
                return -1;
            if (service.Get.Status & QLX_STATUS_STOP)
                return answered;
            continue;
        }
        if (service.Message.MsgType != QLX_MSGTYPE_TRANSACTION)
            continue;
        if (!service.Respond())
            return -1;
        ++answered;
    }
    return -1;
}

/* Sends count transactions to name and checks each reply; the number of
 * replies that came back right. */
int Converse(const char *name, int count)
{
    qlxtest::TestClient client;
    if (!client.Connect(name))
        return -1;
    int right = 0;
    for (int i = 0; i < count; ++i) {
        std::string data = std::string(name) + " #" + std::to_string(i);
        QLXREPLY reply;
        if (!client.Transaction(static_cast<uint64_t>(i), data) || !client.Receive(&reply))
            return right;
        if (reply.Kind == QLX_REPLY_RESPONSE && reply.RequestId == static_cast<uint64_t>(i) &&
            ReplyData(reply) == data)
            ++right;
    }
    return right;
}

/* Services and clients on threads of their own, one connection each, work
 * side by side in one process. */
TEST_F(Threads, CarryConnectionsSideBySide)
{
    const char *names[] = {"E1", "E2"};
    const int perClient = 300;
    int answered[2] = {0, 0};
    bool opened[2] = {false, false};
    std::vector<std::thread> services;
    for (int i = 0; i < 2; ++i)
        services.emplace_back([&, i] { answered[i] = EchoUntilStopped(names[i], &opened[i]); });
    for (const char *name : names)
        EXPECT_TRUE(tfxtest::WaitForPath(SocketPath(name), std::chrono::seconds(30)));
    int right[4] = {0, 0, 0, 0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i)
        clients.emplace_back([&, i] { right[i] = Converse(names[i % 2], perClient); });
    for (std::thread &client : clients)
        client.join();
    for (const char *name : names) {
        qlxtest::TestClient stopper;
        EXPECT_TRUE(stopper.Connect(name)) << LastPrimaryText();
        EXPECT_EQ(qlxClientStop(stopper.hConn), 1) << LastPrimaryText();
    }
    for (std::thread &service : services)
        service.join();
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(opened[i]);
        EXPECT_EQ(answered[i], 2 * perClient);
    }
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(right[i], perClient);
}

} // namespace
