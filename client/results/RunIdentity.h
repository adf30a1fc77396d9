/* Which run a result is of: an id drawn when the run starts, with the host
 * and the process that made it, so that one run is never counted twice. */
#ifndef TFX_CLIENT_RUNIDENTITY_H
#define TFX_CLIENT_RUNIDENTITY_H

#include <cstdint>
#include <string>

struct RunIdentity {
    std::string Id; /* 32 hexadecimal digits; empty: a result written before runs had one */
    std::string Host;
    uint32_t Pid = 0;
};

/* A run held in a merged result (-M), and the file it was read from. */
struct MergedRun {
    RunIdentity Run;
    double StartedUnixS = 0.0;
    uint64_t Seed = 0;
    std::string File;
};

/* A new identity for a run of this process on this host: 128 random bits
 * from the kernel, or the clock and the process id should it have none. */
RunIdentity NewRunIdentity();

#endif
