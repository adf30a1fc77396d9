/* tfxkeys as a user runs it: the key pair it writes, and what it refuses. */
#include <string>
#include <sys/stat.h>
#include <zmq.h>

#include <gtest/gtest.h>

#include "tests/support/Subprocess.h"

namespace {

const std::string KeysPath = TFXKEYS_PATH;

unsigned ModeOf(const std::string &path)
{
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

/* NAME.key holds a secret key only its owner may read, NAME.pub the public
 * key that belongs to it, each one line of Z85; the public key is printed. */
TEST(Tfxkeys, WritesAKeyPairItsOwnerAloneMayReadTheSecretOf)
{
    tfxtest::TempDir dir;
    const std::string name = dir.Path() + "/alice";
    tfxtest::ProcessResult run = tfxtest::RunProcess({KeysPath, name});
    ASSERT_EQ(run.ExitCode, 0) << run.Stderr;
    std::string secret = tfxtest::ReadFile(name + ".key");
    std::string publicKey = tfxtest::ReadFile(name + ".pub");
    ASSERT_EQ(secret.size(), 41u);
    ASSERT_EQ(publicKey.size(), 41u);
    EXPECT_EQ(ModeOf(name + ".key"), 0600u);
    char derived[41];
    ASSERT_EQ(zmq_curve_public(derived, secret.substr(0, 40).c_str()), 0);
    EXPECT_EQ(publicKey, std::string(derived) + "\n");
    EXPECT_EQ(run.Stdout, name + ".key: secret key, for QLX_CURVE_KEY; keep it private\n" + name +
                              ".pub: public key " + derived + "\n");
}

/* A key file that exists is never overwritten; a missing name is a usage
 * error. */
TEST(Tfxkeys, RefusesToOverwriteAndAsksForAName)
{
    tfxtest::TempDir dir;
    const std::string name = dir.Path() + "/bob";
    ASSERT_EQ(tfxtest::RunProcess({KeysPath, name}).ExitCode, 0);
    std::string secret = tfxtest::ReadFile(name + ".key");
    tfxtest::ProcessResult again = tfxtest::RunProcess({KeysPath, name});
    EXPECT_EQ(again.ExitCode, 1);
    EXPECT_EQ(again.Stderr, "tfxkeys: " + name + ".key cannot be created: File exists\n");
    EXPECT_EQ(tfxtest::ReadFile(name + ".key"), secret);
    tfxtest::ProcessResult bare = tfxtest::RunProcess({KeysPath});
    EXPECT_EQ(bare.ExitCode, 2);
    EXPECT_EQ(bare.Stderr.rfind("Usage:\n\n    tfxkeys NAME\n", 0), 0u) << bare.Stderr;
}

/* -c FILE writes the control key of a group: one line of 64 hex digits
 * only its owner may read, and never over a file that exists. */
TEST(Tfxkeys, WritesAControlKeyItsOwnerAloneMayRead)
{
    tfxtest::TempDir dir;
    const std::string path = dir.Path() + "/lab.key";
    tfxtest::ProcessResult run = tfxtest::RunProcess({KeysPath, "-c", path});
    ASSERT_EQ(run.ExitCode, 0) << run.Stderr;
    std::string key = tfxtest::ReadFile(path);
    EXPECT_EQ(key.size(), 65u);
    EXPECT_EQ(key.find_first_not_of("0123456789abcdef"), 64u);
    EXPECT_EQ(ModeOf(path), 0600u);
    EXPECT_EQ(run.Stdout, path + ": control key, for TFX_CONTROL_KEY of every agent and "
                                 "controller of the group; keep it private\n");
    tfxtest::ProcessResult again = tfxtest::RunProcess({KeysPath, "-c", path});
    EXPECT_EQ(again.ExitCode, 1);
    EXPECT_EQ(tfxtest::ReadFile(path), key);
}

} // namespace
