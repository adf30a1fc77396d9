/* Pass conditions on the figures of a run, as given with -A:
 * "p99<5ms,timeouts=0,refused=0". A condition that is not met makes the
 * exit code 1. */
#ifndef TFX_CLIENT_THRESHOLDS_H
#define TFX_CLIENT_THRESHOLDS_H

#include <cstdint>
#include <string>
#include <vector>

class Histogram;

enum class FigureKind { Latency, Count, Rate };
enum class Comparison { Less, LessOrEqual, Greater, GreaterOrEqual, Equal, NotEqual };

struct Threshold {
    std::string Text;   /* the condition as written */
    std::string Figure; /* "p99.9", "max", "timeouts", "tps", ... */
    FigureKind Kind;
    double Percentile; /* for p<N>; 0 to 100 */
    Comparison Compare;
    double Limit; /* nanoseconds, a count, or per second */
};

/* The figures a condition may name; latency from the measured histogram. */
struct ThresholdFigures {
    const Histogram *Latency;
    uint64_t Sent; /* messages */
    uint64_t Transactions;
    uint64_t Datagrams;
    uint64_t Completed;
    uint64_t Refused;
    uint64_t TimedOut;
    uint64_t Late;
    uint64_t OutOfSequence;
    uint64_t CheckFailures;
    uint64_t Alerts;
    uint64_t Notify;
    uint64_t Normal;
    double TransactionsPerSecond;
    double MessagesPerSecond;
};

struct ThresholdOutcome {
    bool Met;
    bool HasValue; /* false for a latency figure without samples: then not met */
    double Value;
};

/* Reads a comma-separated list of conditions <figure><op><value>. On a
 * mistake returns false with *error saying what was wrong and what is
 * accepted; *thresholds is then left alone. */
bool ParseThresholds(const char *text, std::vector<Threshold> *thresholds, std::string *error);

/* Checks one condition against the figures of a run. */
ThresholdOutcome EvaluateThreshold(const Threshold &threshold, const ThresholdFigures &figures);

/* The latency figures of a threshold's kind as text: "80.3us", "3", "1234.5". */
std::string ThresholdValueText(const Threshold &threshold, double value);

#endif
