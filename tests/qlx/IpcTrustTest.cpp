#include "qlx/zmq/IpcTrust.h"

#include <climits>
#include <fstream>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/qlx/QlxHarness.h"

namespace {

using qlxtest::LastPrimaryText;

constexpr uid_t Stranger = 61999; /* a user id with no name on a test machine */

class IpcTrust : public qlxtest::QlxTest {};

/* Sockets a client must not trust, and ones it may: each stand-in is a file
 * of the owner and in the directory the case names. A path is checked as
 * given: a relative one from the working directory, and a link among its
 * directories is refused, never followed. */
TEST_F(IpcTrust, SocketsAnotherUserCouldHoldAreRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "files of another user need root";
    ASSERT_EQ(getpwuid(Stranger), nullptr);
    const std::string top = temp_.Path();
    auto make = [&](const std::string &dir, mode_t mode, uid_t owner) {
        std::string path = top + "/" + dir;
        EXPECT_EQ(mkdir(path.c_str(), 0700), 0);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        EXPECT_EQ(chown(path.c_str(), owner, owner), 0);
        std::ofstream(path + "/s") << "";
        std::ofstream(path + "/theirs") << "";
        EXPECT_EQ(chown((path + "/theirs").c_str(), Stranger, Stranger), 0);
    };
    make("private", 0700, 0);
    make("sticky", 01777, 0);
    make("open", 0777, 0);
    make("group", 0770, 0);
    make("foreign", 0755, Stranger);
    ASSERT_EQ(symlink((top + "/sticky/theirs").c_str(), (top + "/private/link").c_str()), 0);
    ASSERT_EQ(symlink((top + "/private").c_str(), (top + "/through").c_str()), 0);
    const std::string stranger = "uid " + std::to_string(Stranger);
    const std::string foreign = " belongs to " + stranger +
                                ", who could pose as the service: this client connects only to "
                                "sockets of its own user or root (41)";
    const struct {
        const char *Socket;
        const char *Owner;    /* QLX_SERVICE_OWNER */
        std::string Text;     /* empty when trusted */
        const char *Cwd = ""; /* the working directory of a relative Socket */
    } cases[] = {
        {"private/s", "", ""},
        {"private/none", "", ""},
        {"sticky/s", "", ""},
        {"sticky/theirs", "", "socket " + top + "/sticky/theirs" + foreign},
        {"sticky/theirs", "61999", ""},
        {"private/link", "", "socket " + top + "/sticky/theirs" + foreign},
        {"open/s", "",
         "directory " + top +
             "/open is writable by others (mode 0777), so another user could "
             "replace socket " +
             top + "/open/s (41)"},
        {"group/s", "",
         "directory " + top +
             "/group is writable by others (mode 0770), so another user could "
             "replace socket " +
             top + "/group/s (41)"},
        {"foreign/s", "", "directory " + top + "/foreign" + foreign},
        {"through/s", "",
         "directory " + top + "/through above socket " + top +
             "/through/s is a symbolic link, which this client does not follow (41)"},
        {"theirs", "", "socket " + top + "/sticky/theirs" + foreign, "sticky"},
        {"s", "", "", "sticky"},
        {"private/s", "nobody-at-all-here",
         "QLX_SERVICE_OWNER=nobody-at-all-here names no user: give a user name or a number (45)"},
    };
    char home[PATH_MAX];
    ASSERT_NE(getcwd(home, sizeof home), nullptr);
    for (const auto &c : cases) {
        (void)setenv("QLX_SERVICE_OWNER", c.Owner, 1);
        bool relative = c.Cwd[0] != '\0';
        ASSERT_EQ(chdir(relative ? (top + "/" + c.Cwd).c_str() : home), 0);
        bool trusted = qlx::TrustIpcSocket(relative ? c.Socket : top + "/" + c.Socket);
        EXPECT_EQ(trusted, c.Text.empty()) << c.Socket << " " << c.Owner;
        if (!trusted) {
            EXPECT_EQ(LastPrimaryText(), c.Text) << c.Socket << " " << c.Owner;
        }
    }
    ASSERT_EQ(chdir(home), 0);
}

} // namespace
