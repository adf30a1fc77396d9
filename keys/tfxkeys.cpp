/* tfxkeys: writes a CurveZMQ key pair for libqlx, NAME.key (the secret key,
 * mode 0600) and NAME.pub (the public key), each one line of the Z85 text
 * that ZeroMQ uses; or, with -c, the key that tfxclnt's agents and
 * controllers of a group share, one line of 64 hex digits (mode 0600). It
 * never overwrites a file. */
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <openssl/rand.h>
#include <zmq.h>

static const char *const UsageLines[] = {
    "Usage:\n",
    "\n",
    "    tfxkeys NAME\n",
    "    tfxkeys -c FILE\n",
    "\n",
    "Writes a CurveZMQ key pair: NAME.key, the secret key (mode 0600), and\n",
    "NAME.pub, the public key. A service names its secret key file in\n",
    "QLX_CURVE_KEY and lists its clients' public keys, one a line, in the file\n",
    "named by QLX_CURVE_CLIENTS; a client names its own secret key file in\n",
    "QLX_CURVE_KEY and the service's public key file in QLX_CURVE_SERVER.\n",
    "\n",
    "With -c, writes FILE (mode 0600): the key of tfxclnt's control plane, which\n",
    "every agent (-a) and controller (-D) of a group names in TFX_CONTROL_KEY.\n",
    "Copy it to their machines over a channel of your trust (scp).\n",
    nullptr,
};

static void PrintUsage()
{
    for (const char *const *line = UsageLines; *line != nullptr; ++line)
        fputs(*line, stderr);
}

/* Creates path, which must not exist, with mode and the line text; false,
 * with the reason on standard error, when it cannot. */
static bool WriteNewFile(const std::string &path, mode_t mode, const char *text)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        fprintf(stderr, "tfxkeys: %s cannot be created: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    std::string line = std::string(text) + "\n";
    bool written = fchmod(fd, mode) == 0 &&
                   write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    int error = errno;
    if (close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (written)
        return true;
    fprintf(stderr, "tfxkeys: %s cannot be written: %s\n", path.c_str(), strerror(error));
    (void)unlink(path.c_str());
    return false;
}

/* -c FILE: 32 random bytes as 64 hex digits. */
static int WriteControlKey(const char *path)
{
    unsigned char bytes[32];
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        fprintf(stderr, "tfxkeys: no random bytes for the key\n");
        return 1;
    }
    char hex[2 * sizeof bytes + 1];
    for (size_t i = 0; i < sizeof bytes; ++i)
        (void)snprintf(hex + 2 * i, 3, "%02x", bytes[i]);
    if (!WriteNewFile(path, 0600, hex))
        return 1;
    printf("%s: control key, for TFX_CONTROL_KEY of every agent and controller of the group; "
           "keep it private\n",
           path);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "-c") == 0 && argv[2][0] != '\0')
        return WriteControlKey(argv[2]);
    if (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "-?") == 0)) {
        PrintUsage();
        return 0;
    }
    if (argc != 2 || argv[1][0] == '\0' || argv[1][0] == '-') {
        PrintUsage();
        return 2;
    }
    char publicKey[41];
    char secretKey[41];
    if (zmq_curve_keypair(publicKey, secretKey) != 0) {
        fprintf(stderr, "tfxkeys: no key pair: %s (ZeroMQ built without CurveZMQ?)\n",
                zmq_strerror(errno));
        return 1;
    }
    const std::string name = argv[1];
    if (!WriteNewFile(name + ".key", 0600, secretKey))
        return 1;
    if (!WriteNewFile(name + ".pub", 0644, publicKey)) {
        (void)unlink((name + ".key").c_str());
        return 1;
    }
    printf("%s.key: secret key, for QLX_CURVE_KEY; keep it private\n", name.c_str());
    printf("%s.pub: public key %s\n", name.c_str(), publicKey);
    return 0;
}
