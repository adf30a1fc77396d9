#include "tests/support/NatsServer.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <regex>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tfxtest {

/* The first URL listed under key in a ports file. */
static std::string PortsEntry(const std::string &ports, const std::string &key)
{
    std::smatch match;
    return std::regex_search(ports, match, std::regex("\"" + key + "\":\\[\"([^\"]+)\""))
               ? match[1].str()
               : "";
}

NatsServer::NatsServer(const std::vector<std::string> &arguments, const std::string &config)
{
    std::vector<std::string> argv = {"nats-server",      "-a",  "127.0.0.1", "-p",          "-1",
                                     "--ports_file_dir", Dir(), "-l",        Dir() + "/log"};
    if (!config.empty()) {
        std::ofstream(Dir() + "/nats.conf") << config;
        argv.insert(argv.end(), {"-c", Dir() + "/nats.conf"});
    }
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    bool cluster = std::find(arguments.begin(), arguments.end(), "--cluster") != arguments.end();
    std::vector<char *> args;
    for (std::string &arg : argv)
        args.push_back(arg.data());
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        /* Ends with the thread that started it, even one that crashes. */
        (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
        int null = open("/dev/null", O_RDWR);
        for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
            (void)dup2(null, fd);
        execvp(args[0], args.data());
        _exit(127);
    }
    std::string portsFile = Dir() + "/nats-server_" + std::to_string(pid_) + ".ports";
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
         std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
        std::string ports = ReadFile(portsFile);
        url_ = PortsEntry(ports, "nats");
        routeUrl_ = PortsEntry(ports, "cluster");
        if (!url_.empty() && (!cluster || !routeUrl_.empty()))
            return;
    }
    failure_ = "nats-server did not start within 30 s:\n" + ReadFile(Dir() + "/log");
    url_.clear();
}

NatsServer::~NatsServer()
{
    Kill();
}

bool NatsServer::Hold() const
{
    int status = 0;
    return kill(pid_, SIGSTOP) == 0 && waitpid(pid_, &status, WUNTRACED) == pid_ &&
           WIFSTOPPED(status);
}

bool NatsServer::WaitForLog(const std::string &text, int count,
                            std::chrono::milliseconds timeout) const
{
    for (auto end = std::chrono::steady_clock::now() + timeout;
         std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
        std::string log = ReadFile(Dir() + "/log");
        int seen = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++seen;
        if (seen >= count)
            return true;
    }
    return false;
}

NatsCluster::NatsCluster()
{
    std::vector<std::string> member = {"--cluster_name", "C", "--cluster", "nats://127.0.0.1:-1"};
    nodes_[0] = std::make_unique<NatsServer>(member);
    member.insert(member.end(), {"--routes", nodes_[0]->RouteUrl()});
    nodes_[1] = std::make_unique<NatsServer>(member);
    nodes_[2] = std::make_unique<NatsServer>(member);
}

std::string NatsCluster::Failure() const
{
    for (const auto &node : nodes_) {
        if (!node->Failure().empty())
            return node->Failure();
        if (!node->WaitForLog("Route connection created", 2))
            return "the routes of " + node->Url() + " did not come up";
    }
    return "";
}

const NatsServer &SharedNatsServer()
{
    static std::unique_ptr<NatsServer> server = std::make_unique<NatsServer>();
    return *server;
}

std::string UniqueNatsPrefix()
{
    static int count = 0;
    return "t" + std::to_string(getpid()) + "_" + std::to_string(++count);
}

std::vector<std::pair<std::string, std::string>> NatsEnvironment(const NatsServer &server)
{
    return {{"QLX_ENDPOINT", server.Url()}, {"QLX_NATS_PREFIX", UniqueNatsPrefix()}};
}

} // namespace tfxtest
