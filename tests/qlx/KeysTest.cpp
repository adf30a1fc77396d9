#include "qlx/zmq/ZmqCurve.h"

#include <fstream>
#include <ostream>
#include <string>
#include <sys/stat.h>
#include <zmq.h>

#include <gtest/gtest.h>

#include "qlx/qlx.h"
#include "tests/qlx/QlxHarness.h"
#include "tests/support/LoopbackPort.h"

namespace {

using qlxtest::LastPrimaryText;

struct AddressCase {
    const char *Address;
    bool Loopback;
};

std::ostream &operator<<(std::ostream &out, const AddressCase &c)
{
    return out << c.Address;
}

class LoopbackAddresses : public testing::TestWithParam<AddressCase> {};

/* Only an address that names this host alone counts as loopback. */
TEST_P(LoopbackAddresses, AreTheOnesThatStayOnThisHost)
{
    EXPECT_EQ(qlx::IsLoopbackAddress(GetParam().Address), GetParam().Loopback);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, LoopbackAddresses,
    testing::Values(
        AddressCase{"tcp://127.0.0.1:7001", true}, AddressCase{"tcp://127.8.9.10:7001", true},
        AddressCase{"tcp://localhost:7001", true}, AddressCase{"tcp://lo:7001", true},
        AddressCase{"tcp://[::1]:7001", true}, AddressCase{"tcp://[::ffff:127.0.0.1]:7001", true},
        AddressCase{"tcp://192.0.2.1;127.0.0.1:7001", true},
        AddressCase{"tcp://0.0.0.0:7001", false}, AddressCase{"tcp://*:7001", false},
        AddressCase{"tcp://192.0.2.1:7001", false}, AddressCase{"tcp://eth0:7001", false},
        AddressCase{"tcp://[::]:7001", false}, AddressCase{"tcp://128.0.0.1:7001", false},
        AddressCase{"tcp://127.0.0.1;192.0.2.1:7001", false},
        AddressCase{"tcp://example.org:7001", false}));

/* What goes wrong in one case, and the text the library then gives. */
enum class Fault {
    SecretKeyOpenToOthers,
    SecretKeyIsPublic,
    SecretKeyMissing,
    SecretKeyMalformed,
    AllowedKeysMalformed,
    ServiceKeyWithoutClients,
    ClientKeyWithoutServerKey,
    ServerKeyMalformed,
    ServicePlaintextOffLoopback,
    ClientPlaintextOffLoopback,
    ServicePlaintextAllowed,
    SecretKeyIsFifo,
    AllowedKeysEndless,
    AllowedKeysDirectory,
    AllowedKeysEmpty,
    AllowedKeysTooLarge,
};

void PrintTo(Fault fault, std::ostream *out)
{
    *out << static_cast<int>(fault);
}

/* Key files in the test's own directory. */
class KeyFolder : public qlxtest::QlxTest {
  protected:
    /* Writes text to a file of the test's named name with mode. */
    std::string Write(const std::string &name, const std::string &text, mode_t mode = 0600)
    {
        std::string path = temp_.Path() + "/" + name;
        std::ofstream(path) << text;
        (void)chmod(path.c_str(), mode);
        return path;
    }
    /* A fresh key pair: the secret key's file and the public key's text. */
    std::string KeyPair(const std::string &name, std::string *publicKey)
    {
        char publicText[41];
        char secretText[41];
        (void)zmq_curve_keypair(publicText, secretText);
        *publicKey = publicText;
        return Write(name + ".key", std::string(secretText) + "\n");
    }
};

class KeyFiles : public KeyFolder, public testing::WithParamInterface<Fault> {};

/* Keys that cannot be used, and plaintext off loopback, are refused with a
 * text that names the file or the address and what is wrong. */
TEST_P(KeyFiles, ThatCannotBeUsedAreRefusedWithAText)
{
    std::string port = std::to_string(tfxtest::FreeLoopbackPort());
    std::string endpoint = "tcp://127.0.0.1:" + port;
    std::string serverPublic;
    std::string clientPublic;
    std::string serverKey = KeyPair("server", &serverPublic);
    std::string clientKey = KeyPair("client", &clientPublic);
    std::string allowed = Write("allowed", "# the clients\n" + clientPublic + "\n");
    std::string serverPub = Write("server.pub", serverPublic + "\n", 0644);
    std::string secretKeys = "QLX_CURVE_KEY and QLX_CURVE_CLIENTS";
    bool client = false;
    std::string text;
    switch (GetParam()) {
    case Fault::SecretKeyOpenToOthers:
        (void)chmod(serverKey.c_str(), 0644);
        text = "secret key file " + serverKey +
               " is open to group or others (mode 0644): chmod 600 it";
        break;
    case Fault::SecretKeyIsPublic:
        text = "secret key file " + serverPub + " holds a public key: the secret one is " +
               temp_.Path() + "/server.key";
        serverKey = serverPub;
        break;
    case Fault::SecretKeyMissing:
        serverKey += ".gone";
        text = "secret key file " + serverKey + " cannot be opened";
        break;
    case Fault::SecretKeyMalformed:
        serverKey = Write("malformed.key", "not a key\n");
        text = "secret key file " + serverKey +
               " holds no key: expected one line of 40 characters of Z85 as tfxkeys writes";
        break;
    case Fault::AllowedKeysMalformed:
        allowed = Write("allowed", "# the clients\n" + clientPublic + "\n" + clientPublic + "x\n");
        text = "allowed keys file " + allowed +
               " line 3 is neither a public key (40 characters of Z85) nor a comment (#)";
        break;
    case Fault::ServiceKeyWithoutClients:
        allowed.clear();
        text = "QLX_CURVE_KEY is set but QLX_CURVE_CLIENTS is not: list the public keys of the "
               "clients allowed in a file and name it there";
        break;
    case Fault::ClientKeyWithoutServerKey:
        client = true;
        serverPub.clear();
        text = "QLX_CURVE_KEY is set but QLX_CURVE_SERVER is not: a client needs its own secret "
               "key file and the service's public key file";
        break;
    case Fault::ServerKeyMalformed:
        client = true;
        serverPub = Write("server.pub", serverPublic.substr(1) + "\n", 0644);
        text = "public key file " + serverPub +
               " holds no key: expected one line of 40 characters of Z85 as tfxkeys writes";
        break;
    case Fault::ServicePlaintextOffLoopback:
    case Fault::ServicePlaintextAllowed:
        serverKey.clear();
        allowed.clear();
        endpoint = "tcp://192.0.2.1:" + port;
        text = endpoint + " is not a loopback address: set " + secretKeys +
               " to key files made by tfxkeys, or QLX_ALLOW_PLAINTEXT=1 to go without";
        break;
    case Fault::ClientPlaintextOffLoopback:
        client = true;
        clientKey.clear();
        serverPub.clear();
        endpoint = "tcp://192.0.2.1:" + port;
        text = endpoint + " is not a loopback address: set QLX_CURVE_KEY and QLX_CURVE_SERVER to "
                          "key files made by tfxkeys, or QLX_ALLOW_PLAINTEXT=1 to go without";
        break;
    case Fault::SecretKeyIsFifo: /* opened without waiting for a writer */
        serverKey = temp_.Path() + "/fifo.key";
        (void)mkfifo(serverKey.c_str(), 0600);
        text = "secret key file " + serverKey + " is not a regular file";
        break;
    case Fault::AllowedKeysEndless:
        allowed = "/dev/zero";
        text = "allowed keys file /dev/zero is not a regular file";
        break;
    case Fault::AllowedKeysDirectory:
        allowed = temp_.Path();
        text = "allowed keys file " + allowed + " is not a regular file";
        break;
    case Fault::AllowedKeysEmpty:
        allowed = Write("allowed", "# nobody yet\n");
        text = "allowed keys file " + allowed +
               " lists no key, so no client could connect: add the public keys of the clients, "
               "one a line";
        break;
    case Fault::AllowedKeysTooLarge:
        allowed = Write("allowed", clientPublic + "\n" + std::string(6400000, '#'));
        text = "allowed keys file " + allowed + " is larger than 6400000 bytes";
        break;
    }
    (void)setenv("QLX_ENDPOINT", endpoint.c_str(), 1);
    const std::string &key = client ? clientKey : serverKey;
    if (!key.empty())
        (void)setenv("QLX_CURVE_KEY", key.c_str(), 1);
    if (!client && !allowed.empty())
        (void)setenv("QLX_CURVE_CLIENTS", allowed.c_str(), 1);
    if (client && !serverPub.empty())
        (void)setenv("QLX_CURVE_SERVER", serverPub.c_str(), 1);
    int reason = QLXRC_KEYS;
    if (GetParam() == Fault::ServicePlaintextAllowed) {
        (void)setenv("QLX_ALLOW_PLAINTEXT", "1", 1);
        text = "service element E1 cannot be bound"; /* no such address here: past the check */
        reason = QLXRC_TRANSPORT;
    }
    qlxtest::TestService service;
    qlxtest::TestClient connection;
    EXPECT_FALSE(client ? connection.Connect("E1") : service.Open("E1"));
    EXPECT_EQ(LastPrimaryText(), text + " (" + std::to_string(reason) + ")");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, KeyFiles,
    testing::Values(Fault::SecretKeyOpenToOthers, Fault::SecretKeyIsPublic, Fault::SecretKeyMissing,
                    Fault::SecretKeyMalformed, Fault::AllowedKeysMalformed,
                    Fault::ServiceKeyWithoutClients, Fault::ClientKeyWithoutServerKey,
                    Fault::ServerKeyMalformed, Fault::ServicePlaintextOffLoopback,
                    Fault::ClientPlaintextOffLoopback, Fault::ServicePlaintextAllowed,
                    Fault::SecretKeyIsFifo, Fault::AllowedKeysEndless, Fault::AllowedKeysDirectory,
                    Fault::AllowedKeysEmpty, Fault::AllowedKeysTooLarge));

/* Which side has keys, whether the client holds the service's own, and
 * what the client is told after "did not let this client in: ". */
struct HandshakeCase {
    bool ServiceKeys;
    bool ClientKeys;
    bool RightServerKey;
    const char *Told;
};

/* Named by what the client is told: gtest would print the record's bytes,
 * padding and all, which valgrind rightly calls uninitialised. */
void PrintTo(const HandshakeCase &c, std::ostream *out)
{
    *out << c.Told;
}

class Handshakes : public KeyFolder, public testing::WithParamInterface<HandshakeCase> {};

/* A client turned away at the handshake is told what is missing or wrong on
 * its side, not a guess at keys that do not match. */
TEST_P(Handshakes, TellTheClientWhatIsMissingOrWrong)
{
    std::string endpoint = "tcp://127.0.0.1:" + std::to_string(tfxtest::FreeLoopbackPort());
    (void)setenv("QLX_ENDPOINT", endpoint.c_str(), 1);
    std::string serverPublic, clientPublic, otherPublic;
    std::string serverKey = KeyPair("server", &serverPublic);
    std::string clientKey = KeyPair("client", &clientPublic);
    (void)KeyPair("other", &otherPublic);
    if (GetParam().ServiceKeys) {
        (void)setenv("QLX_CURVE_KEY", serverKey.c_str(), 1);
        (void)setenv("QLX_CURVE_CLIENTS", Write("allowed", clientPublic).c_str(), 1);
    }
    qlxtest::TestService service;
    ASSERT_TRUE(service.Open("E1")) << LastPrimaryText();
    (void)unsetenv("QLX_CURVE_KEY");
    if (GetParam().ClientKeys) {
        std::string pub = GetParam().RightServerKey ? serverPublic : otherPublic;
        (void)setenv("QLX_CURVE_KEY", clientKey.c_str(), 1);
        (void)setenv("QLX_CURVE_SERVER", Write("server.pub", pub, 0644).c_str(), 1);
    }
    qlxtest::TestClient client;
    EXPECT_FALSE(client.Connect("E1"));
    EXPECT_EQ(LastPrimaryText(), "service element E1 at " + endpoint +
                                     " did not let this client in: " + GetParam().Told + " (46)");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Handshakes,
    testing::Values(HandshakeCase{true, false, true,
                                  "no client key is set, and the service uses keys: set "
                                  "QLX_CURVE_KEY and QLX_CURVE_SERVER"},
                    HandshakeCase{false, true, true,
                                  "the service does not use keys: unset QLX_CURVE_KEY and "
                                  "QLX_CURVE_SERVER"},
                    HandshakeCase{true, true, false,
                                  "the service broke off the handshake: QLX_CURVE_SERVER may "
                                  "not hold its key"}));

} // namespace
