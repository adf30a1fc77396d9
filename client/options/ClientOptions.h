/* The client's run settings and its command line: options read with
 * tfx_getopt into one settings record, and the usage text. */
#ifndef TFX_CLIENT_CLIENTOPTIONS_H
#define TFX_CLIENT_CLIENTOPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include "qlx/ClientRecords.h"
#include "client/options/SweepPlan.h"
#include "client/options/Thresholds.h"

enum : uint32_t {
    MaxConnections = 200,                 /* -k */
    MaxWindow = 65536,                    /* -w; keeps every queue below its high-water mark */
    MaxRequestSize = QLX_MAX_DATA_LENGTH, /* -s: a service of the library refuses more */
    MaxReplySize = 8u << 20,              /* -e */
    OpenLoopWindow = 1024,                /* -w under -r or -R when not given */
    MaxRepeats = 100,                     /* -N */
};

struct ClientSettings {
    std::string Element = "TestElement1"; /* service element; also the tag -V expects */
    uint64_t Count = 1000;                /* -n: messages after the warm-up */
    bool CountLimited = true;             /* false with -d and no -n */
    double Duration = 0.0;                /* -d: seconds of sending after the warm-up; 0 = none */
    uint32_t Connections = 1;             /* -k */
    uint32_t Window = 1;                  /* -w: outstanding transactions per connection */
    double Rate =
        0.0; /* -r: messages (transactions and datagrams) per second in all; 0 = closed loop */
    RateRange Sweep; /* -R: the rates of a sweep, each for -d seconds */
    bool SweepGiven = false;
    uint32_t Repeats = 0;   /* -N: runs of the same settings, or of each step; 0 = not given */
    uint32_t SizeMin = 128; /* -s: request data bytes */
    uint32_t SizeMax = 128;
    double DatagramPercent = 0.0; /* -g: share of datagrams */
    char MsgId[24] = {};          /* -m: formatted as the server formats its own */
    bool MsgIdGiven = false;
    double Timeout = 5.0; /* -t: seconds before a transaction times out */
    uint64_t Seed = 0;    /* -S: seed of the size generator */
    bool SeedGiven = false;
    std::vector<double> Percentiles = {50.0, 90.0, 99.0, 99.9}; /* -p */
    double Warmup = 0.0;                 /* -W: seconds excluded from the figures */
    std::string JsonPath;                /* -o: where the JSON result goes; empty = none */
    std::string HistogramPath;           /* -H: where the latency histogram goes; empty = none */
    std::string MetricsAddress;          /* -l: where the run is served live; empty = none */
    std::vector<Threshold> Thresholds;   /* -A */
    bool Verify = false;                 /* -V: check every reply */
    uint32_t ExpectMin = 0;              /* -e: reply size of a server that replaces data */
    uint32_t ExpectMax = 0;              /* 0 = replies keep the request's size */
    bool Verbose = false;                /* -v: a line for every message and reply */
    bool ForceProgress = false;          /* -P: progress lines even when not on a terminal */
    bool NoProgress = false;             /* -q: no progress lines at all */
    bool StopRequest = false;            /* -x: the stop request at the end */
    bool Merge = false;                  /* -M: merge results rather than run */
    std::vector<std::string> MergeFiles; /* -M: the results to merge */
    std::string AgentGroup;              /* -a: the group this agent serves; empty = no agent */
    std::string ControlGroup;            /* -D: the group whose agents make the run */
    uint32_t ControlAgents = 0;          /* -D: how many of them; 0 = no agents */
};

/* Help is -h, answered as the server answers it; LongHelp is --help. */
enum class ParseOutcome { Run, Help, LongHelp, Version, UsageError };

/* Reads the command line into *settings. On UsageError, *errors holds one
 * line per mistake, each saying what was wrong and what is accepted. Prints
 * nothing and never exits; the scanner itself reports unknown options and
 * missing arguments on standard error. */
ParseOutcome ParseClientArgs(int argc, char **argv, ClientSettings *settings, std::string *errors);

/* The usage text, whole. */
extern const char *const ClientUsageLines[];

#endif
