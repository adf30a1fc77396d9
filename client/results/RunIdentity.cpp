#include "client/results/RunIdentity.h"

#include <cstdio>
#include <ctime>
#include <sys/random.h>
#include <unistd.h>

RunIdentity NewRunIdentity()
{
    uint64_t bits[2] = {};
    if (getrandom(bits, sizeof bits, 0) != static_cast<ssize_t>(sizeof bits)) {
        timespec now{};
        (void)clock_gettime(CLOCK_REALTIME, &now);
        bits[0] = static_cast<uint64_t>(now.tv_sec);
        bits[1] = static_cast<uint64_t>(now.tv_nsec) << 32 | static_cast<uint64_t>(getpid());
    }
    char id[33];
    (void)snprintf(id, sizeof id, "%016llx%016llx", static_cast<unsigned long long>(bits[0]),
                   static_cast<unsigned long long>(bits[1]));
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0)
        host[0] = '\0';
    return RunIdentity{id, host, static_cast<uint32_t>(getpid())};
}
