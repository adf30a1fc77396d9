/* The figures that a sweep and repeated runs (-N) report of each run, and
 * their median and spread over several runs of the same settings. */
#ifndef TFX_CLIENT_RUNFIGURES_H
#define TFX_CLIENT_RUNFIGURES_H

#include <cstddef>
#include <string>
#include <vector>

#include "client/options/ClientOptions.h"
#include "client/results/RunResult.h"

enum Figure : size_t {
    AchievedFigure, /* transactions/s */
    P50Figure,      /* latency, ns */
    P99Figure,
    P999Figure,
    MaxFigure,
    TimeoutsFigure, /* transactions */
    RefusedFigure,
    SendLagFigure, /* p99 of the send lag, ns */
    FigureCount,
};

enum class FigureUnit { Rate, Latency, Count };

/* How a figure is named in the table and in the JSON result. */
struct FigureName {
    const char *Heading;
    const char *Key;
    FigureUnit Unit;
};

extern const FigureName FigureNames[FigureCount];

struct RunFigures {
    double Value[FigureCount] = {};
    /* False for latencies without samples, and for the send lag of a
     * closed loop. */
    bool Present[FigureCount] = {};
};

/* The figures of one run. The achieved rate is the transactions completed
 * after the warm-up over the seconds of sending asked for (-d), or over the
 * measured time when the run took longer: the wait for the last replies of
 * a run that kept up does not lower it. A run that the service's going away
 * ended is taken over the time it was served. */
RunFigures FiguresOf(const ClientSettings &settings, const RunResult &result);

/* The median, least and greatest of each figure over the runs that have it. */
struct FigureSpread {
    RunFigures Median;
    RunFigures Min;
    RunFigures Max;
    bool Noisy = false; /* the spread of p99 is over a fifth of its median */
};

FigureSpread SpreadOf(const std::vector<RunFigures> &runs);

/* A figure as the table shows it: "1234.5", "12.3ms", "0", or "-" when absent. */
std::string FigureText(const RunFigures &figures, Figure figure);

#endif
