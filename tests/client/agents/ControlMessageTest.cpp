/* The control plane's messages: the key file, the seal, the reader that
 * drops what is not of the protocol, and the texts shown of them. */
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "client/agents/ControlMessage.h"
#include "client/agents/Controller.h"
#include "tests/support/Subprocess.h"

namespace {

const char KeyText[] = "00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF\n";

struct KeyCase {
    const char *Content; /* nullptr: a folder */
    mode_t Mode;
    const char *Error; /* after "TFX_CONTROL_KEY=path: "; empty when read */
};

class ControlKeyFile : public testing::TestWithParam<KeyCase> {
  protected:
    void TearDown() override
    {
        (void)unsetenv("TFX_CONTROL_KEY");
        (void)unsetenv("TFX_CONTROL_UNSIGNED");
    }
    tfxtest::TempDir dir_;
};

/* A key file is one line of 64 hex digits in a regular file of the user's
 * own that no one else may read; every other is refused, naming why. */
TEST_P(ControlKeyFile, IsReadOnlyWhenPrivateAndWellFormed)
{
    std::string path = dir_.Path() + "/key";
    if (GetParam().Content == nullptr) {
        ASSERT_EQ(mkdir(path.c_str(), GetParam().Mode), 0);
    } else {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        std::string content = GetParam().Content;
        ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        ASSERT_EQ(fchmod(fd, GetParam().Mode), 0);
        (void)close(fd);
    }
    ASSERT_EQ(setenv("TFX_CONTROL_KEY", path.c_str(), 1), 0);
    ControlKey key;
    std::string error;
    bool read = ReadControlKey(&key, &error);
    std::string expected = GetParam().Error;
    EXPECT_EQ(error, expected.empty() ? "" : "TFX_CONTROL_KEY=" + path + ": " + expected);
    EXPECT_EQ(read, expected.empty());
    EXPECT_EQ(key.Given, expected.empty());
    EXPECT_EQ(key.Bytes[31], read ? 0xff : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ControlKeyFile,
    testing::Values(
        KeyCase{KeyText, 0600, ""},
        KeyCase{"00112233", 0600, "holds no key: one line of 64 hex digits, as tfxkeys -c writes"},
        KeyCase{KeyText, 0640, "is open to others (mode 640): chmod 600 it"},
        KeyCase{nullptr, 0700, "is not a regular file"},
        KeyCase{"00112233445566778899aabbccddeeff00112233445566778899aabbccddeefg\n", 0600,
                "holds no key: one line of 64 hex digits, as tfxkeys -c writes"},
        KeyCase{"00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff\n\n", 0600,
                "holds no key: one line of 64 hex digits, as tfxkeys -c writes"}));

/* Without a key the control plane is refused, unless TFX_CONTROL_UNSIGNED=1. */
TEST_F(ControlKeyFile, NoneIsRefusedUnlessAllowed)
{
    ControlKey key;
    std::string error;
    EXPECT_FALSE(ReadControlKey(&key, &error));
    EXPECT_EQ(error.rfind("no key for the control plane: make one with tfxkeys -c FILE", 0), 0u);
    ASSERT_EQ(setenv("TFX_CONTROL_UNSIGNED", "1", 1), 0);
    EXPECT_TRUE(ReadControlKey(&key, &error));
    EXPECT_FALSE(key.Given);
}

struct ReadCase {
    std::string Json;
    ControlVerdict Verdict;
};

class ControlReader : public testing::TestWithParam<ReadCase> {};

const std::string Common = R"("from":"s","name":"h:1","run":"r","seq":1)";

/* Each message is read only when every member its type carries is of the
 * kind the protocol says. */
TEST_P(ControlReader, TakesOnlyMessagesOfTheProtocol)
{
    ControlKey key;
    ASSERT_TRUE(ParseControlKey(KeyText, &key));
    ResultJson json = ResultJson::parse(GetParam().Json, nullptr, false);
    std::string body = SealControlMessage(key, "a.b", json);
    ControlMessage message;
    EXPECT_EQ(ReadControlMessage(key, "a.b", body.data(), body.size(), &message),
              GetParam().Verdict);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ControlReader,
    testing::Values(
        ReadCase{R"({"type":"discover",)" + Common + "}", ControlVerdict::Taken},
        ReadCase{R"({"type":"start","ns":-5,)" + Common + "}", ControlVerdict::Taken},
        ReadCase{R"({"type":"discover","from":5,"name":"h","run":"r","seq":1})",
                 ControlVerdict::Malformed},
        ReadCase{R"({"type":"here","challenge":"c",)" + Common + "}", ControlVerdict::Malformed},
        ReadCase{R"({"type":"plan","challenge":"c","text":"t","agents":1,"index":0,"body":[],)" +
                     Common + "}",
                 ControlVerdict::Malformed},
        ReadCase{R"({"type":"time","exchange":-1,"ns":0,)" + Common + "}",
                 ControlVerdict::Malformed},
        ReadCase{R"({"type":"start","ns":9223372036854775808,)" + Common + "}",
                 ControlVerdict::Malformed},
        ReadCase{R"({"type":"gossip",)" + Common + "}", ControlVerdict::Malformed},
        ReadCase{R"({"type":"discover","from":"s","name":")" + std::string(513, 'n') +
                     R"(","run":"r","seq":1})",
                 ControlVerdict::Malformed},
        ReadCase{"[1,2]", ControlVerdict::Malformed}));

/* A seal of another key, of another subject or of other bytes fails; bytes
 * that are no sealed message at all are malformed. */
TEST(ControlSeal, HoldsOnlyForTheKeySubjectAndBytes)
{
    ControlKey key, other;
    ASSERT_TRUE(ParseControlKey(KeyText, &key));
    other = key;
    other.Bytes[0] ^= 1;
    ResultJson json = ResultJson::parse(R"({"type":"discover",)" + Common + "}");
    std::string body = SealControlMessage(key, "a.b", json);
    ControlMessage message;
    EXPECT_EQ(ReadControlMessage(key, "a.b", body.data(), body.size(), &message),
              ControlVerdict::Taken);
    EXPECT_EQ(message.From, "s");
    EXPECT_EQ(ReadControlMessage(other, "a.b", body.data(), body.size(), &message),
              ControlVerdict::Unauthentic);
    EXPECT_EQ(ReadControlMessage(key, "a.c", body.data(), body.size(), &message),
              ControlVerdict::Unauthentic);
    body[70] ^= 1;
    EXPECT_EQ(ReadControlMessage(key, "a.b", body.data(), body.size(), &message),
              ControlVerdict::Unauthentic);
    EXPECT_EQ(ReadControlMessage(key, "a.b", "{}", 2, &message), ControlVerdict::Malformed);
}

/* Texts of peers are shown with every byte that is not printable escaped. */
TEST(ControlTexts, ShowPeersBytesEscaped)
{
    EXPECT_EQ(Printable("h:1 \x1b[2J\\\xff"), "h:1 \\x1b[2J\\x5c\\xff");
}

/* An agent named without a pid is shown in the JSON with its name as the
 * host and no pid. */
TEST(ControlTexts, AgentWithoutPidKeepsItsName)
{
    AgentsRun run;
    run.Agents.resize(2);
    run.Agents[0].Name = "nocolon";
    run.Agents[1].Name = "host:77";
    ResultJson agents = AgentsJson(run);
    EXPECT_EQ(agents[0]["host"], "nocolon");
    EXPECT_TRUE(agents[0]["pid"].is_null());
    EXPECT_EQ(agents[1]["host"], "host");
    EXPECT_EQ(agents[1]["pid"], 77);
}

} // namespace
