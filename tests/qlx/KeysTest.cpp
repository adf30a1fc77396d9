#include "qlx/ZmqCurve.h"

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

class KeyFiles : public qlxtest::QlxTest, public testing::WithParamInterface<Fault> {
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
    testing::Values(Fault::SecretKeyOpenToOthers, Fault::SecretKeyMissing,
                    Fault::SecretKeyMalformed, Fault::AllowedKeysMalformed,
                    Fault::ServiceKeyWithoutClients, Fault::ClientKeyWithoutServerKey,
                    Fault::ServerKeyMalformed, Fault::ServicePlaintextOffLoopback,
                    Fault::ClientPlaintextOffLoopback, Fault::ServicePlaintextAllowed,
                    Fault::SecretKeyIsFifo, Fault::AllowedKeysEndless, Fault::AllowedKeysDirectory,
                    Fault::AllowedKeysEmpty, Fault::AllowedKeysTooLarge));

} // namespace
