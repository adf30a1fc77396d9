#include "qlx/zmq/ZmqConnectionLimit.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "qlx/ErrorRecord.h"
#include "qlx/core/Errors.h"
#include "qlx/core/Settings.h"

namespace qlx {

/* No ceiling until a service opens: accept4 is then the system's. */
static std::atomic<int> Ceiling{INT_MAX};

static std::atomic<uint64_t> Accepted{0};
static std::atomic<uint64_t> Refused{0};
/* A bit for each descriptor accept4 handed over, below TrackedFds; cleared
 * once a count finds it closed. Zero pages until touched. */
enum : int { TrackedFds = 1 << 20 };
static std::atomic<uint64_t> AcceptedFds[TrackedFds / 64];

static void TrackAccepted(int fd)
{
    Accepted.fetch_add(1, std::memory_order_relaxed);
    if (fd < TrackedFds)
        AcceptedFds[fd / 64].fetch_or(uint64_t{1} << (fd % 64), std::memory_order_relaxed);
}

static bool Connected(int fd)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    return getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) == 0;
}

/* A descriptor closed and accepted again while it was looked at keeps its
 * bit: the second look sees it open and sets it back. */
static uint64_t OpenIn(size_t word)
{
    uint64_t open = 0;
    uint64_t bits = AcceptedFds[word].load(std::memory_order_relaxed);
    for (; bits != 0; bits &= bits - 1) {
        int bit = __builtin_ctzll(bits);
        int fd = static_cast<int>(word * 64) + bit;
        uint64_t mask = uint64_t{1} << bit;
        if (Connected(fd)) {
            ++open;
            continue;
        }
        AcceptedFds[word].fetch_and(~mask, std::memory_order_relaxed);
        if (Connected(fd)) {
            AcceptedFds[word].fetch_or(mask, std::memory_order_relaxed);
            ++open;
        }
    }
    return open;
}

static int RaiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised{limit.rlim_max, limit.rlim_max};
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur > INT_MAX ? INT_MAX : static_cast<int>(limit.rlim_cur);
}

static int LowestFreeDescriptor()
{
    int probe = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (probe >= 0)
        (void)close(probe);
    return probe;
}

bool LimitConnections()
{
    uint64_t connections = 0;
    if (!ReadCountSetting("QLX_MAX_CONNECTIONS", DefaultConnectionLimit, 1, GreatestConnectionLimit,
                          &connections))
        return false;
    int descriptors = RaiseDescriptorLimit();
    int lowest = LowestFreeDescriptor();
    if (descriptors < 0 || lowest < 0) {
        DetailErrno(descriptors < 0 ? "getrlimit" : "open /dev/null", errno);
        return Fail(QLXRC_TRANSPORT, "the descriptors of this process cannot be counted");
    }
    int64_t ceiling = static_cast<int64_t>(lowest) + static_cast<int64_t>(connections);
    ceiling = std::min<int64_t>(ceiling, static_cast<int64_t>(descriptors) - DescriptorReserve);
    if (ceiling <= lowest)
        return Fail(QLXRC_TRANSPORT,
                    "the descriptor limit %d leaves no room for connections beside the %d "
                    "descriptors open and %d kept free: raise it (ulimit -n)",
                    descriptors, lowest, static_cast<int>(DescriptorReserve));
    Ceiling.store(static_cast<int>(ceiling), std::memory_order_relaxed);
    return true;
}

int ConnectionCeiling()
{
    return Ceiling.load(std::memory_order_relaxed);
}

ConnectionCounts CountConnections()
{
    int ceiling = std::min(ConnectionCeiling(), static_cast<int>(TrackedFds));
    uint64_t open = 0;
    for (size_t word = 0; word < static_cast<size_t>(ceiling + 63) / 64; ++word)
        open += OpenIn(word);
    return ConnectionCounts{open, Accepted.load(std::memory_order_relaxed),
                            Refused.load(std::memory_order_relaxed)};
}

} // namespace qlx

/* Takes the place of the C library's accept4 in this process: the listeners
 * of libzmq call it for every connection. A connection at or past the
 * ceiling is closed at once and reported as ECONNABORTED, which libzmq passes
 * over; so is a descriptor limit that other descriptors have used up. */
extern "C" int accept4(int listener, sockaddr *address, socklen_t *length, int flags)
{
    int fd = static_cast<int>(syscall(SYS_accept4, listener, address, length, flags));
    if (fd < 0) {
        if (errno == EMFILE) {
            qlx::Refused.fetch_add(1, std::memory_order_relaxed);
            errno = ECONNABORTED;
        }
        return -1;
    }
    if (fd < qlx::ConnectionCeiling()) {
        qlx::TrackAccepted(fd);
        return fd;
    }
    qlx::Refused.fetch_add(1, std::memory_order_relaxed);
    (void)close(fd);
    errno = ECONNABORTED;
    return -1;
}
