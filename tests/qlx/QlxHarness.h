/* What the library tests share: a private runtime directory per test with the
 * environment put back afterwards, a service and a client with the records a
 * program would use, and the error of the last failed call as text. */
#ifndef TFX_TESTS_QLX_QLXHARNESS_H
#define TFX_TESTS_QLX_QLXHARNESS_H

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "binding/RecordPreparation.h"
#include "qlx/qlx.h"
#include "tests/support/NatsServer.h"
#include "tests/support/Subprocess.h"

namespace qlxtest {

/* Long enough for a busy machine; a reply normally comes within milliseconds. */
constexpr int32_t ReplyWaitMs = 10000;

/* The settings of the library besides the runtime directory. */
inline constexpr const char *Settings[] = {
    "QLX_ENDPOINT",      "QLX_MEMORY_LIMIT", "QLX_MAX_CONNECTIONS", "QLX_CURVE_KEY",
    "QLX_CURVE_CLIENTS", "QLX_CURVE_SERVER", "QLX_ALLOW_PLAINTEXT", "QLX_NATS_PREFIX",
    "QLX_NATS_CA",       "QLX_NATS_NKEY",    "QLX_SERVICE_OWNER",
};

/* The environment variables the library reads, restored at the end of scope. */
class SavedEnvironment {
  public:
    SavedEnvironment()
    {
        std::vector<const char *> names(std::begin(Settings), std::end(Settings));
        names.insert(names.end(), {"QLX_DIR", "XDG_RUNTIME_DIR", "QLX_STATS_FILE"});
        for (const char *name : names) {
            const char *value = getenv(name);
            saved_.emplace_back(name, value != nullptr ? std::optional<std::string>(value)
                                                       : std::nullopt);
        }
    }
    ~SavedEnvironment()
    {
        for (const auto &[name, value] : saved_) {
            if (value)
                (void)setenv(name.c_str(), value->c_str(), 1);
            else
                (void)unsetenv(name.c_str());
        }
    }
    SavedEnvironment(const SavedEnvironment &) = delete;
    SavedEnvironment &operator=(const SavedEnvironment &) = delete;

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

/* The transports a behaviour is proved over: ipc:// in the test's runtime
 * directory, and a nats-server of the test process with a subject prefix of
 * the test's own. */
enum class Transport { Ipc, Nats };

/* Each test runs with QLX_DIR naming a runtime directory of its own (not yet
 * made) and none of the other settings; over NATS, with QLX_ENDPOINT naming
 * the test process's nats-server. */
class QlxTest : public testing::Test {
  protected:
    void SetUp() override
    {
        runtimeDir_ = temp_.Path() + "/qlx";
        (void)setenv("QLX_DIR", runtimeDir_.c_str(), 1);
        for (const char *name : Settings)
            (void)unsetenv(name);
        if (TransportUnderTest() != Transport::Nats)
            return;
        const tfxtest::NatsServer &server = tfxtest::SharedNatsServer();
        ASSERT_EQ(server.Failure(), "");
        for (const auto &[name, value] : tfxtest::NatsEnvironment(server))
            (void)setenv(name.c_str(), value.c_str(), 1);
    }
    virtual Transport TransportUnderTest() const { return Transport::Ipc; }
    const std::string &RuntimeDir() const { return runtimeDir_; }
    std::string SocketPath(const std::string &file) const
    {
        return runtimeDir_ + "/" + file + ".sock";
    }
    std::string Address(const std::string &file) const { return "ipc://" + SocketPath(file); }

    SavedEnvironment environment_;
    tfxtest::TempDir temp_;
    std::string runtimeDir_;
};

/* Fixture over each transport in turn, instantiated by TFX_OVER_TRANSPORTS. */
template <typename Fixture>
class OverTransports : public Fixture, public testing::WithParamInterface<Transport> {
  protected:
    Transport TransportUnderTest() const override { return this->GetParam(); }
};

#define TFX_OVER_TRANSPORTS(suite)                                                                 \
    INSTANTIATE_TEST_SUITE_P(                                                                      \
        Over, suite, testing::Values(qlxtest::Transport::Ipc, qlxtest::Transport::Nats),           \
        [](const auto &info) { return info.param == qlxtest::Transport::Ipc ? "Ipc" : "Nats"; })

/* This thread's last error record. */
inline QLXERROR LastError()
{
    QLXERROR error{};
    (void)qlxGetLastError(&error);
    return error;
}

/* A result block as qlxFormatError writes it, with ample room. */
inline std::string BlockText(const ResultBlock &block)
{
    char text[512];
    uint32_t room = sizeof text;
    (void)qlxFormatError(&block, 1, text, &room);
    return text;
}

inline std::string LastPrimaryText()
{
    return BlockText(LastError().PrimaryResult);
}
inline std::string LastSubText()
{
    return BlockText(LastError().SubResult);
}
inline int32_t LastReason()
{
    return LastError().PrimaryResult.ReasonCode;
}

/* A message id as the server holds it: the text left-justified in 23
 * characters, filled with blanks, and a zero byte. */
inline std::string MsgId(const std::string &text)
{
    std::string id = text.substr(0, 23);
    id.resize(23, ' ');
    id.push_back('\0');
    return id;
}

/* A service with the records the server would use, terminated at the end of
 * scope. */
class TestService {
  public:
    TestService()
    {
        PrepareGetOptions(&Get, nullptr, NoMsgId);
        PreparePutOptions(&Put, nullptr, NoMsgId);
    }
    ~TestService()
    {
        if (hConn != 0)
            (void)qlxTerminate(&hConn);
    }
    TestService(const TestService &) = delete;
    TestService &operator=(const TestService &) = delete;

    bool Open(const char *name)
    {
        PrepareServiceAddress(&Address, name);
        return qlxServerInitialize(&Address, &hConn) != 0;
    }
    /* Waits up to waitMs for the next message. */
    bool Receive(int32_t waitMs = ReplyWaitMs)
    {
        Get.WaitInterval = waitMs;
        return qlxGetRequest(hConn, &Message, &Get, nullptr, &hRequest) != 0;
    }
    /* The received data, as the buffer holds it. */
    std::string Data() const { return std::string(Message.Buffer.Data, Message.DataLength); }
    /* Sends one response with the option bits added to the default. */
    bool Respond(uint32_t bits = 0)
    {
        Put.Options = QLX_PMO_DEFAULT | (Put.Options & QLX_PMO_MSGID) | bits;
        return qlxPutResponse(hConn, &Message, &Put, nullptr, &hRequest) != 0;
    }
    QLXSTATS Stats() const
    {
        QLXSTATS stats = DefaultStats;
        (void)qlxGetServiceStats(hConn, &stats);
        return stats;
    }

    static constexpr char NoMsgId[24] = {};
    QLXSERVICEADDRESS Address = DefaultServiceAddress;
    QLXHCONN hConn = 0;
    QLXMESSAGE Message = DefaultMessageRecord;
    QLXGETOPTIONS Get;
    QLXPUTOPTIONS Put;
    QLXHREQ hRequest = 0;
};

/* A client of the library, terminated at the end of scope. */
class TestClient {
  public:
    TestClient() = default;
    ~TestClient()
    {
        if (hConn != 0)
            (void)qlxTerminate(&hConn);
    }
    TestClient(const TestClient &) = delete;
    TestClient &operator=(const TestClient &) = delete;

    bool Connect(const char *name)
    {
        QLXSERVICEADDRESS address;
        PrepareServiceAddress(&address, name);
        return qlxClientConnect(&address, &hConn) != 0;
    }
    bool Send(int32_t type, uint64_t requestId, const std::string &data,
              const std::string &msgId = "")
    {
        QLXREQUEST request = DefaultRequest;
        request.MsgType = type;
        request.RequestId = requestId;
        request.Data = data.data();
        request.DataLength = static_cast<uint32_t>(data.size());
        if (!msgId.empty()) {
            memcpy(request.MsgId, msgId.data(), sizeof request.MsgId);
            request.Options |= QLX_RQO_MSGID;
        }
        return qlxClientSend(hConn, &request) != 0;
    }
    bool Transaction(uint64_t requestId, const std::string &data, const std::string &msgId = "")
    {
        return Send(QLX_MSGTYPE_TRANSACTION, requestId, data, msgId);
    }
    bool Datagram(const std::string &data, const std::string &msgId = "")
    {
        return Send(QLX_MSGTYPE_DATAGRAM, 0, data, msgId);
    }
    bool Receive(QLXREPLY *reply, int32_t waitMs = ReplyWaitMs)
    {
        *reply = DefaultReply;
        return qlxClientReceive(hConn, reply, waitMs) != 0;
    }

    QLXHCONN hConn = 0;
};

/* The data of a reply as bytes. */
inline std::string ReplyData(const QLXREPLY &reply)
{
    return std::string(reply.Data, reply.DataLength);
}

} // namespace qlxtest

#endif
