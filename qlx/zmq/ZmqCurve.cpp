#include "qlx/zmq/ZmqCurve.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <zmq.h>

#include "qlx/ErrorRecord.h"
#include "qlx/core/Errors.h"
#include "qlx/core/Settings.h"
#include "qlx/zmq/ZmqSocket.h"

namespace qlx {

enum : size_t {
    KeyFileLimit = 256, /* a key file is one line of 40 characters */
    /* 100,000 keys of a line each, with room for comments: far above any
     * real list, and still a bounded read. */
    AllowedKeysFileLimit = 100000 * 64,
};

/* text without the blanks and line ends around it. */
static std::string Trimmed(const std::string &text)
{
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

/* The bytes of a key written as 40 characters of Z85; false for any other
 * text. */
static bool DecodeKey(const std::string &text, std::string *key)
{
    uint8_t bytes[KeySize];
    if (text.size() != KeyTextSize || zmq_z85_decode(bytes, text.c_str()) == nullptr)
        return false;
    key->assign(reinterpret_cast<const char *>(bytes), KeySize);
    return true;
}

/* Reads what fd holds into *text; false (errno set, or 0 when too large)
 * past limit bytes. */
static bool ReadBounded(int fd, size_t limit, std::string *text)
{
    char bytes[4096];
    for (;;) {
        ssize_t got = read(fd, bytes, sizeof bytes);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0;
        if (text->size() + static_cast<size_t>(got) > limit) {
            errno = 0;
            return false;
        }
        text->append(bytes, static_cast<size_t>(got));
    }
}

/* The text of the key file at path, read whole up to limit bytes; with
 * secret, the file must be open to its owner alone. Opened without waiting,
 * so a FIFO is refused, not waited on. */
static bool ReadKeyFile(const std::string &path, const char *kind, bool secret, size_t limit,
                        std::string *text)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        DetailErrno(path.c_str(), errno);
        return Fail(QLXRC_KEYS, "%s file %s cannot be opened", kind, path.c_str());
    }
    struct stat info {};
    bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    bool taken = regular && !(secret && (info.st_mode & 077) != 0) && ReadBounded(fd, limit, text);
    int error = errno;
    (void)close(fd);
    if (!regular)
        return Fail(QLXRC_KEYS, "%s file %s is not a regular file", kind, path.c_str());
    if (secret && (info.st_mode & 077) != 0)
        return Fail(QLXRC_KEYS, "%s file %s is open to group or others (mode %04o): chmod 600 it",
                    kind, path.c_str(), static_cast<unsigned>(info.st_mode & 07777));
    if (taken)
        return true;
    if (error == 0)
        return Fail(QLXRC_KEYS, "%s file %s is larger than %zu bytes", kind, path.c_str(), limit);
    DetailErrno(path.c_str(), error);
    return Fail(QLXRC_KEYS, "%s file %s cannot be read", kind, path.c_str());
}

static int NotAKey(const char *kind, const std::string &path)
{
    return Fail(QLXRC_KEYS,
                "%s key file %s holds no key: expected one line of 40 characters of Z85 "
                "as tfxkeys writes",
                kind, path.c_str());
}

/* tfxkeys NAME writes NAME.key and NAME.pub: the stem NAME of a .pub file
 * named as a secret key, its pair mistaken; "" for any other name. */
static std::string PublicKeyStem(const std::string &path)
{
    const std::string suffix = ".pub";
    if (path.size() <= suffix.size() ||
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0)
        return "";
    return path.substr(0, path.size() - suffix.size());
}

bool ReadSecretKeyFile(const std::string &path, std::string *secret, std::string *publicKey)
{
    std::string stem = PublicKeyStem(path);
    if (!stem.empty())
        return Fail(QLXRC_KEYS, "secret key file %s holds a public key: the secret one is %s.key",
                    path.c_str(), stem.c_str());
    std::string text;
    if (!ReadKeyFile(path, "secret key", true, KeyFileLimit, &text))
        return false;
    text = Trimmed(text);
    char derived[KeyTextSize + 1];
    if (!DecodeKey(text, secret) || zmq_curve_public(derived, text.c_str()) != 0)
        return NotAKey("secret", path);
    return DecodeKey(derived, publicKey);
}

bool ReadPublicKeyFile(const std::string &path, std::string *publicKey)
{
    std::string text;
    if (!ReadKeyFile(path, "public key", false, KeyFileLimit, &text))
        return false;
    return DecodeKey(Trimmed(text), publicKey) || NotAKey("public", path);
}

bool ReadAllowedKeys(const std::string &path, std::set<std::string> *keys)
{
    std::string text;
    if (!ReadKeyFile(path, "allowed keys", false, AllowedKeysFileLimit, &text))
        return false;
    std::istringstream lines(text);
    std::string line;
    std::string key;
    for (unsigned number = 1; std::getline(lines, line); ++number) {
        line = Trimmed(line);
        /* Z85 has '#' too: a key that starts with it is still a key. */
        if (DecodeKey(line, &key))
            keys->insert(key);
        else if (!line.empty() && line[0] != '#')
            return Fail(QLXRC_KEYS,
                        "allowed keys file %s line %u is neither a public key (40 characters of "
                        "Z85) nor a comment (#)",
                        path.c_str(), number);
    }
    if (keys->empty())
        return Fail(QLXRC_KEYS,
                    "allowed keys file %s lists no key, so no client could connect: add the "
                    "public keys of the clients, one a line",
                    path.c_str());
    return true;
}

/* The host of a tcp:// address: after the source of a connect
 * ("tcp://source;host:port"), before the port, without IPv6 brackets. */
static std::string HostOf(const std::string &address)
{
    std::string host = address.substr(strlen("tcp://"));
    size_t source = host.find(';');
    if (source != std::string::npos)
        host.erase(0, source + 1);
    size_t port = host.rfind(':');
    if (port != std::string::npos)
        host.erase(port);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    return host;
}

bool IsLoopbackAddress(const std::string &address)
{
    std::string host = HostOf(address);
    if (host == "localhost" || host == "lo")
        return true;
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) != 1)
        return false;
    if (IN6_IS_ADDR_V4MAPPED(&v6))
        return v6.s6_addr[12] == 127;
    return IN6_IS_ADDR_LOOPBACK(&v6);
}

static bool IsTcp(const std::string &address)
{
    return address.compare(0, strlen("tcp://"), "tcp://") == 0;
}

/* A plaintext tcp:// address is allowed on loopback, or everywhere with
 * QLX_ALLOW_PLAINTEXT=1. */
static bool PlaintextAllowed(const std::string &address, const char *keysToSet)
{
    bool allowed = false;
    if (!ReadSwitchSetting("QLX_ALLOW_PLAINTEXT", &allowed))
        return false;
    if (allowed || IsLoopbackAddress(address))
        return true;
    return Fail(QLXRC_KEYS,
                "%s is not a loopback address: set %s to key files made by tfxkeys, or "
                "QLX_ALLOW_PLAINTEXT=1 to go without",
                address.c_str(), keysToSet);
}

static bool SetKey(void *socket, int option, const std::string &key, const char *name)
{
    if (zmq_setsockopt(socket, option, key.data(), key.size()) == 0)
        return true;
    DetailZmqErrno("zmq_setsockopt", errno);
    return Fail(QLXRC_TRANSPORT, "socket option %s cannot be set", name);
}

static bool CurveAvailable()
{
    if (zmq_has("curve"))
        return true;
    return Fail(QLXRC_KEYS, "this ZeroMQ library was built without CurveZMQ: keys cannot be used");
}

bool SecureService(void *socket, const std::string &address, std::unique_ptr<ZapDomain> *zap)
{
    if (!IsTcp(address))
        return true;
    const char *keyFile = SettingText("QLX_CURVE_KEY");
    const char *clientsFile = SettingText("QLX_CURVE_CLIENTS");
    if (keyFile == nullptr && clientsFile != nullptr)
        return Fail(QLXRC_KEYS, "QLX_CURVE_CLIENTS is set but QLX_CURVE_KEY is not: the service "
                                "needs its secret key file too");
    if (keyFile == nullptr)
        return PlaintextAllowed(address, "QLX_CURVE_KEY and QLX_CURVE_CLIENTS");
    if (clientsFile == nullptr)
        return Fail(QLXRC_KEYS, "QLX_CURVE_KEY is set but QLX_CURVE_CLIENTS is not: list the "
                                "public keys of the clients allowed in a file and name it there");
    std::string secret;
    std::string publicKey;
    std::set<std::string> allowed;
    if (!CurveAvailable() || !ReadSecretKeyFile(keyFile, &secret, &publicKey) ||
        !ReadAllowedKeys(clientsFile, &allowed))
        return false;
    *zap = ZapDomain::Open(std::move(allowed));
    if (*zap == nullptr)
        return false;
    const std::string &domain = (*zap)->Name();
    int server = 1;
    if (zmq_setsockopt(socket, ZMQ_CURVE_SERVER, &server, sizeof server) != 0 ||
        zmq_setsockopt(socket, ZMQ_ZAP_DOMAIN, domain.data(), domain.size()) != 0) {
        DetailZmqErrno("zmq_setsockopt", errno);
        return Fail(QLXRC_TRANSPORT, "CurveZMQ cannot be set up on the service's socket");
    }
    return SetKey(socket, ZMQ_CURVE_SECRETKEY, secret, "ZMQ_CURVE_SECRETKEY");
}

bool SecureClient(void *socket, const std::string &address)
{
    if (!IsTcp(address))
        return true;
    const char *keyFile = SettingText("QLX_CURVE_KEY");
    const char *serverFile = SettingText("QLX_CURVE_SERVER");
    if (keyFile == nullptr && serverFile == nullptr)
        return PlaintextAllowed(address, "QLX_CURVE_KEY and QLX_CURVE_SERVER");
    if (keyFile == nullptr || serverFile == nullptr)
        return Fail(QLXRC_KEYS,
                    "%s is set but %s is not: a client needs its own secret key file and the "
                    "service's public key file",
                    keyFile != nullptr ? "QLX_CURVE_KEY" : "QLX_CURVE_SERVER",
                    keyFile != nullptr ? "QLX_CURVE_SERVER" : "QLX_CURVE_KEY");
    std::string secret;
    std::string publicKey;
    std::string serverKey;
    if (!CurveAvailable() || !ReadSecretKeyFile(keyFile, &secret, &publicKey) ||
        !ReadPublicKeyFile(serverFile, &serverKey))
        return false;
    return SetKey(socket, ZMQ_CURVE_SERVERKEY, serverKey, "ZMQ_CURVE_SERVERKEY") &&
           SetKey(socket, ZMQ_CURVE_PUBLICKEY, publicKey, "ZMQ_CURVE_PUBLICKEY") &&
           SetKey(socket, ZMQ_CURVE_SECRETKEY, secret, "ZMQ_CURVE_SECRETKEY");
}

} // namespace qlx
