/* A nats-server of a test's own: on a free loopback port, in a temporary
 * directory, killed at the end of scope and with the process that started
 * it, however that ends. */
#ifndef TFX_TESTS_SUPPORT_NATSSERVER_H
#define TFX_TESTS_SUPPORT_NATSSERVER_H

#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "tests/support/Subprocess.h"

namespace tfxtest {

class NatsServer {
  public:
    /* Starts nats-server with arguments besides address, port and log, and
     * config as its configuration file; waits for its ports (and route port). */
    explicit NatsServer(const std::vector<std::string> &arguments = {},
                        const std::string &config = "");
    ~NatsServer();
    NatsServer(const NatsServer &) = delete;
    NatsServer &operator=(const NatsServer &) = delete;

    /* Empty once started; else what went wrong, with the log. */
    const std::string &Failure() const { return failure_; }
    const std::string &Url() const { return url_; }           /* nats://127.0.0.1:port */
    const std::string &RouteUrl() const { return routeUrl_; } /* of a cluster member */
    const std::string &Dir() const { return dir_.Path(); }
    /* Ends the server as kill -9 does. */
    void Kill() { KillAndReap(&pid_); }
    /* Holds the server, returning once every thread of it has stopped: it
     * reads and writes nothing until Resume. */
    bool Hold() const;
    void Resume() const { (void)kill(pid_, SIGCONT); }
    /* Waits until the log holds text count times. */
    bool WaitForLog(const std::string &text, int count = 1,
                    std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;

  private:
    TempDir dir_;
    pid_t pid_ = -1;
    std::string url_;
    std::string routeUrl_;
    std::string failure_;
};

/* A cluster of three nats-servers of a test's own, their routes up. */
class NatsCluster {
  public:
    NatsCluster();
    /* Empty once every route is up; else what went wrong, with the log. */
    std::string Failure() const;
    NatsServer &Node(int index) { return *nodes_[index]; }

  private:
    std::unique_ptr<NatsServer> nodes_[3];
};

/* The nats-server that the tests of this process share, started on first use. */
const NatsServer &SharedNatsServer();

/* A subject prefix no other test uses. */
std::string UniqueNatsPrefix();

/* QLX_ENDPOINT naming server, and a prefix of the test's own. */
std::vector<std::pair<std::string, std::string>> NatsEnvironment(const NatsServer &server);

} // namespace tfxtest

#endif
