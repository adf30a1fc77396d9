#include "qlx/zmq/Endpoint.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "qlx/ErrorRecord.h"
#include "qlx/core/ElementName.h"
#include "tests/qlx/QlxHarness.h"

namespace {

using qlxtest::LastPrimaryText;
using qlxtest::LastReason;
using qlxtest::LastSubText;

/* The published FNV-1a 64-bit values of "", "a" and "foobar". */
TEST(Fnv1a, MatchesThePublishedValues)
{
    EXPECT_EQ(qlx::Fnv1a(nullptr, 0), 0xcbf29ce484222325ull);
    EXPECT_EQ(qlx::Fnv1a(reinterpret_cast<const uint8_t *>("a"), 1), 0xaf63dc4c8601ec8cull);
    EXPECT_EQ(qlx::Fnv1a(reinterpret_cast<const uint8_t *>("foobar"), 6), 0x85944171f73967e8ull);
}

struct Mapping {
    const char *Name;
    std::string Element;
    std::string File;
};

std::ostream &operator<<(std::ostream &out, const Mapping &mapping)
{
    return out << mapping.Name;
}

std::vector<Mapping> Mappings()
{
    return {
        {"Short", "E1", "E1"},
        {"AllPlainCharacters", "Az09._-", "Az09._-"},
        {"ThreeDots", "...", "..."},
        {"LeadingDash", "-E1", "-E1"},
        {"SixtyFourCharacters", std::string(64, 'E'), std::string(64, 'E')},
        {"SixtyFiveCharacters", std::string(65, 'x'), "h7d70a52549704607"},
        {"Full132Characters", std::string(132, 'x'), "h908f382d75a5e2b5"},
        {"Empty", "", "hcbf29ce484222325"},
        {"Dot", ".", "haf63a34c86018bb1"},
        {"DotDot", "..", "h07da1a07b4a03f2d"},
        {"Blank", " ", "haf639d4c8601817f"},
        {"InnerBlank", "a b", "he63f991904833892"},
        {"Slash", "a/b", "he620c3190468cf61"},
        {"ParentPath", "../etc", "h54caf568cfae66bc"},
        {"NonAscii", "caf\xc3\xa9", "h48e8823acfa40d89"},
        {"Tab", "E1\t", "hd82978198d5b9d9e"},
    };
}

class NameMapping : public testing::TestWithParam<Mapping> {};

/* A name of plain characters is its own file name; any other is hashed. */
TEST_P(NameMapping, GivesTheFileName)
{
    const Mapping &mapping = GetParam();
    EXPECT_EQ(qlx::FileNameFor(mapping.Element.data(), mapping.Element.size()), mapping.File);
}

/* In a short directory the socket and lock files sit side by side. */
TEST_P(NameMapping, PlacesTheSocketInTheDirectory)
{
    const Mapping &mapping = GetParam();
    qlx::Endpoint endpoint;
    ASSERT_TRUE(qlx::MapNameInDirectory("/run/q", mapping.Element.data(), mapping.Element.size(),
                                        &endpoint));
    EXPECT_EQ(endpoint.SocketPath, "/run/q/" + mapping.File + ".sock");
    EXPECT_EQ(endpoint.LockPath, "/run/q/" + mapping.File + ".lock");
    EXPECT_EQ(endpoint.Address, "ipc:///run/q/" + mapping.File + ".sock");
}

INSTANTIATE_TEST_SUITE_P(Endpoint, NameMapping, testing::ValuesIn(Mappings()),
                         [](const testing::TestParamInfo<Mapping> &info) {
                             return std::string(info.param.Name);
                         });

bool IsSafeFileName(const std::string &file)
{
    if (file.empty() || file.size() > qlx::PlainNameLimit || file == "." || file == "..")
        return false;
    for (char ch : file) {
        bool plain = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') ||
                     (ch >= '0' && ch <= '9') || ch == '.' || ch == '_' || ch == '-';
        if (!plain)
            return false;
    }
    return true;
}

/* Names of 0 to 132 bytes of any value map to a file of plain characters
 * right inside the directory. */
TEST(Endpoint, MapsEveryNameToASafeFile)
{
    std::mt19937 random(20240601);
    std::uniform_int_distribution<int> anyByte(1, 255);
    std::uniform_int_distribution<int> pick(0, 5);
    const std::string troublesome[] = {"/", "..", " ", "\xff", "\x01", "."};
    for (size_t length = 0; length <= 132; ++length) {
        for (int round = 0; round < 20; ++round) {
            std::string name;
            while (name.size() < length) {
                if (round % 2 == 0)
                    name += static_cast<char>(anyByte(random));
                else
                    name += troublesome[pick(random)];
            }
            name.resize(length);
            qlx::Endpoint endpoint;
            ASSERT_TRUE(qlx::MapNameInDirectory("/run/q", name.data(), name.size(), &endpoint));
            std::string file = endpoint.SocketPath.substr(7, endpoint.SocketPath.size() - 12);
            EXPECT_EQ(endpoint.SocketPath, "/run/q/" + file + ".sock");
            EXPECT_TRUE(IsSafeFileName(file)) << "name of " << length << " bytes: " << file;
        }
    }
}

/* A directory of the given length, made of one repeated letter. */
std::string DirectoryOf(size_t length)
{
    return "/" + std::string(length - 1, 'd');
}

/* A socket path of 107 bytes still takes the plain name; one of 108 takes
 * the hashed name. */
TEST(Endpoint, SwitchesToTheHashedNameAtTheSocketPathLimit)
{
    const std::string name(64, 'E');
    const std::string dirFits = DirectoryOf(107 - 1 - 64 - 5);
    qlx::Endpoint endpoint;
    ASSERT_TRUE(qlx::MapNameInDirectory(dirFits, name.data(), name.size(), &endpoint));
    EXPECT_EQ(endpoint.SocketPath, dirFits + "/" + name + ".sock");
    EXPECT_EQ(endpoint.SocketPath.size(), 107u);

    const std::string dirLonger = DirectoryOf(dirFits.size() + 1);
    ASSERT_TRUE(qlx::MapNameInDirectory(dirLonger, name.data(), name.size(), &endpoint));
    EXPECT_EQ(endpoint.SocketPath, dirLonger + "/h8cf22d97566981e5.sock");
    EXPECT_EQ(endpoint.LockPath, dirLonger + "/h8cf22d97566981e5.lock");
}

/* When even the hashed path exceeds 107 bytes there is no endpoint. */
TEST(Endpoint, FailsWhenEvenTheHashedPathIsTooLong)
{
    const std::string dirFits = DirectoryOf(107 - 1 - 17 - 5);
    qlx::Endpoint endpoint;
    ASSERT_TRUE(qlx::MapNameInDirectory(dirFits, "E1 ", 3, &endpoint));
    EXPECT_EQ(endpoint.SocketPath.size(), 107u);
    EXPECT_FALSE(qlx::MapNameInDirectory(DirectoryOf(dirFits.size() + 1), "E1 ", 3, &endpoint));
    const std::string plain(64, 'E');
    EXPECT_FALSE(qlx::MapNameInDirectory(DirectoryOf(dirFits.size() + 1), plain.data(),
                                         plain.size(), &endpoint));
}

/* Bytes that cannot be shown are written as \x escapes in error texts. */
TEST(Endpoint, PrintsNamesWithEscapes)
{
    EXPECT_EQ(qlx::PrintableName("E1", 2), "E1");
    EXPECT_EQ(qlx::PrintableName("a b\t\xc3\x7f~", 7), "a b\\x09\\xc3\\x7f~");
}

/* The runtime directory comes from QLX_DIR, then XDG_RUNTIME_DIR, then the
 * user id. */
TEST(Endpoint, FindsTheRuntimeDirectoryInTheEnvironment)
{
    qlxtest::SavedEnvironment saved;
    (void)setenv("QLX_DIR", "/a/qlxdir", 1);
    (void)setenv("XDG_RUNTIME_DIR", "/run/user/7", 1);
    EXPECT_EQ(qlx::RuntimeDirectoryPath(), "/a/qlxdir");
    (void)setenv("QLX_DIR", "", 1);
    EXPECT_EQ(qlx::RuntimeDirectoryPath(), "/run/user/7/qlx");
    (void)unsetenv("QLX_DIR");
    EXPECT_EQ(qlx::RuntimeDirectoryPath(), "/run/user/7/qlx");
    (void)unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(qlx::RuntimeDirectoryPath(), "/tmp/qlx-" + std::to_string(geteuid()));
}

class RuntimeDirectory : public qlxtest::QlxTest {
  protected:
    /* A directory of ours with the given mode. */
    std::string MakeDirectory(const char *leaf, mode_t mode)
    {
        std::string path = temp_.Path() + "/" + leaf;
        EXPECT_EQ(mkdir(path.c_str(), 0700), 0);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    }
    /* Opens a service with QLX_DIR at dir; true when it opened. */
    bool OpenIn(const std::string &dir)
    {
        (void)setenv("QLX_DIR", dir.c_str(), 1);
        qlxtest::TestService service;
        return service.Open("E1");
    }
};

mode_t ModeOf(const std::string &path)
{
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

/* The library makes a missing runtime directory 0700 and its socket 0600. */
TEST_F(RuntimeDirectory, IsCreatedPrivate)
{
    qlxtest::TestService service;
    ASSERT_TRUE(service.Open("E1")) << LastPrimaryText();
    EXPECT_EQ(ModeOf(RuntimeDir()), 0700u);
    EXPECT_EQ(ModeOf(SocketPath("E1")), 0600u);
}

/* A directory that group or others may write is refused, and the text says
 * which and why. */
TEST_F(RuntimeDirectory, RefusesADirectoryOpenToOthers)
{
    for (mode_t mode : {0777, 0770, 0702, 0720}) {
        std::string dir = MakeDirectory(("open" + std::to_string(mode)).c_str(), mode);
        EXPECT_FALSE(OpenIn(dir));
        EXPECT_EQ(LastReason(), QLXRC_RUNTIME_DIR);
        char modeText[8];
        (void)snprintf(modeText, sizeof modeText, "%04o", mode);
        EXPECT_EQ(LastPrimaryText(),
                  "runtime directory " + dir + " is open to others (mode " + modeText + ") (40)");
        EXPECT_EQ(LastSubText(),
                  "make it private (chmod 700 " + dir + "), or set QLX_DIR to a private directory");
    }
}

/* A client refuses an unsafe directory as the service does. */
TEST_F(RuntimeDirectory, ClientRefusesADirectoryOpenToOthers)
{
    std::string dir = MakeDirectory("open", 0777);
    (void)setenv("QLX_DIR", dir.c_str(), 1);
    qlxtest::TestClient client;
    EXPECT_FALSE(client.Connect("E1"));
    EXPECT_EQ(LastReason(), QLXRC_RUNTIME_DIR);
    EXPECT_EQ(LastPrimaryText(),
              "runtime directory " + dir + " is open to others (mode 0777) (40)");
}

/* A directory only its owner may write is good, even when others may read it. */
TEST_F(RuntimeDirectory, AcceptsADirectoryOthersMayOnlyRead)
{
    EXPECT_TRUE(OpenIn(MakeDirectory("readable", 0755))) << LastPrimaryText();
}

/* A directory of another user is refused. */
TEST_F(RuntimeDirectory, RefusesADirectoryOfAnotherUser)
{
    std::string dir = "/";
    uid_t owner = 0;
    if (geteuid() == 0) {
        owner = 65534;
        dir = MakeDirectory("foreign", 0700);
        ASSERT_EQ(chown(dir.c_str(), owner, static_cast<gid_t>(-1)), 0);
    }
    EXPECT_FALSE(OpenIn(dir));
    EXPECT_EQ(LastReason(), QLXRC_RUNTIME_DIR);
    EXPECT_EQ(LastPrimaryText(), "runtime directory " + dir + " is owned by uid " +
                                     std::to_string(owner) + ", not by uid " +
                                     std::to_string(geteuid()) + " (40)");
}

/* A symbolic link in place of the directory is refused. */
TEST_F(RuntimeDirectory, RefusesASymbolicLink)
{
    std::string target = MakeDirectory("target", 0700);
    std::string link = temp_.Path() + "/link";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    EXPECT_FALSE(OpenIn(link));
    EXPECT_EQ(LastReason(), QLXRC_RUNTIME_DIR);
    EXPECT_EQ(LastPrimaryText(), "runtime directory " + link + " is a symbolic link (40)");
}

/* A file in place of the directory is refused. */
TEST_F(RuntimeDirectory, RefusesAFile)
{
    std::string file = temp_.Path() + "/file";
    FILE *made = fopen(file.c_str(), "w");
    ASSERT_NE(made, nullptr);
    (void)fclose(made);
    EXPECT_FALSE(OpenIn(file));
    EXPECT_EQ(LastReason(), QLXRC_RUNTIME_DIR);
    EXPECT_EQ(LastPrimaryText(), "runtime directory " + file + " is not a directory (40)");
}

/* Without QLX_DIR the directory is XDG_RUNTIME_DIR/qlx, made on first use. */
TEST_F(RuntimeDirectory, FallsBackToTheUserRuntimeDirectory)
{
    (void)unsetenv("QLX_DIR");
    (void)setenv("XDG_RUNTIME_DIR", temp_.Path().c_str(), 1);
    qlxtest::TestService service;
    ASSERT_TRUE(service.Open("E1")) << LastPrimaryText();
    EXPECT_EQ(ModeOf(temp_.Path() + "/qlx"), 0700u);
    EXPECT_EQ(ModeOf(temp_.Path() + "/qlx/E1.sock"), 0600u);
}

/* A directory so long that no socket path fits is named in the failure. */
TEST_F(RuntimeDirectory, NamesADirectoryTooLongForAnySocket)
{
    std::string dir = temp_.Path();
    while (dir.size() + 1 + 17 + 5 <= 107) {
        dir += "/" + std::string(20, 'd');
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    }
    (void)setenv("QLX_DIR", dir.c_str(), 1);
    qlxtest::TestService service;
    EXPECT_FALSE(service.Open("E1"));
    EXPECT_EQ(LastReason(), QLXRC_ENDPOINT);
    EXPECT_EQ(LastPrimaryText(), "runtime directory " + dir +
                                     " is too long for a socket path: set QLX_DIR to a "
                                     "shorter one (41)");
}

/* A directory whose plain socket path is exactly 107 bytes serves under the
 * plain name; one byte longer, under the hashed name. */
TEST_F(RuntimeDirectory, ServesAtTheSocketPathLimit)
{
    const std::string name(40, 'E');
    std::string dir = temp_.Path() + "/";
    dir += std::string(107 - dir.size() - 1 - name.size() - 5, 'p');
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    (void)setenv("QLX_DIR", dir.c_str(), 1);
    {
        qlxtest::TestService service;
        ASSERT_TRUE(service.Open(name.c_str())) << LastPrimaryText();
        std::string socket = dir + "/" + name + ".sock";
        EXPECT_EQ(socket.size(), 107u);
        EXPECT_EQ(ModeOf(socket), 0600u);
    }
    std::string longer = dir + "q";
    ASSERT_EQ(mkdir(longer.c_str(), 0700), 0);
    (void)setenv("QLX_DIR", longer.c_str(), 1);
    qlxtest::TestService service;
    ASSERT_TRUE(service.Open(name.c_str())) << LastPrimaryText();
    std::string hashed = qlx::HashedFileNameFor(name.data(), name.size());
    EXPECT_EQ(ModeOf(longer + "/" + hashed + ".sock"), 0600u);
}

/* The names in dir, sorted. */
std::vector<std::string> Entries(const std::string &dir)
{
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class ServedNames : public qlxtest::QlxTest, public testing::WithParamInterface<Mapping> {};

/* A service under any name binds inside the runtime directory, a client
 * reaches it by the same name, and its socket and lock file go when it ends. */
TEST_P(ServedNames, BindInsideTheRuntimeDirectory)
{
    const Mapping &mapping = GetParam();
    {
        qlxtest::TestService service;
        ASSERT_TRUE(service.Open(mapping.Element.c_str())) << LastPrimaryText();
        EXPECT_EQ(Entries(temp_.Path()), std::vector<std::string>{"qlx"});
        EXPECT_EQ(Entries(RuntimeDir()),
                  (std::vector<std::string>{mapping.File + ".lock", mapping.File + ".sock"}));
        qlxtest::TestClient client;
        ASSERT_TRUE(client.Connect(mapping.Element.c_str())) << LastPrimaryText();
        ASSERT_TRUE(client.Transaction(5, "ping"));
        ASSERT_TRUE(service.Receive()) << LastPrimaryText();
        EXPECT_EQ(service.Data(), "ping");
        ASSERT_TRUE(service.Respond()) << LastPrimaryText();
        QLXREPLY reply;
        ASSERT_TRUE(client.Receive(&reply)) << LastPrimaryText();
        EXPECT_EQ(reply.Kind, QLX_REPLY_RESPONSE);
        EXPECT_EQ(reply.RequestId, 5u);
    }
    EXPECT_EQ(Entries(RuntimeDir()), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Endpoint, ServedNames, testing::ValuesIn(Mappings()),
                         [](const testing::TestParamInfo<Mapping> &info) {
                             return std::string(info.param.Name);
                         });

/* A name that fills all 132 bytes of the field is read to the field's end
 * and no further. */
TEST_F(RuntimeDirectory, ReadsAnUnterminatedNameToTheFieldEnd)
{
    QLXSERVICEADDRESS address = DefaultServiceAddress;
    memset(address.Name, 'A', sizeof address.Name);
    memset(address.Reserved, 'Z', sizeof address.Reserved);
    QLXHCONN service = 0;
    ASSERT_EQ(qlxServerInitialize(&address, &service), 1) << LastPrimaryText();
    EXPECT_EQ(Entries(RuntimeDir()),
              (std::vector<std::string>{"hef5eb39594563999.lock", "hef5eb39594563999.sock"}));
    QLXHCONN client = 0;
    EXPECT_EQ(qlxClientConnect(&address, &client), 1) << LastPrimaryText();
    (void)qlxTerminate(&client);
    (void)qlxTerminate(&service);
}

} // namespace
