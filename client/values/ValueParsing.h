/* Strict readers of option values: the whole text must be the value, and a
 * value out of its range is refused, never clamped or wrapped. Each returns
 * false and leaves its output alone when the text is not a valid value. */
#ifndef TFX_CLIENT_VALUEPARSING_H
#define TFX_CLIENT_VALUEPARSING_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

/* A decimal integer from low to high. */
bool ParseUnsigned(const char *text, uint64_t low, uint64_t high, uint64_t *value);

/* A decimal number (digits, an optional fraction) from low to high. */
bool ParseDecimal(const char *text, double low, double high, double *value);

/* "n" or "low-high" with each from 0 to limit and low <= high. */
bool ParseSizeRange(const char *text, uint32_t limit, uint32_t *low, uint32_t *high);

/* A count: a whole number, or a decimal number with k (thousands) or M
 * (millions) that comes to a whole one (10k, 1.5M), from low to high. */
bool ParseCount(const char *text, uint64_t low, uint64_t high, uint64_t *value);

/* A rate per second: a decimal number with an optional k or M, from low to
 * high. */
bool ParseRate(const char *text, double low, double high, double *value);

/* What a duration written without a unit means. */
enum class BareDuration { Seconds, Refused };

/* A duration: a decimal number with one of the units ns, us, ms, s or m
 * (minutes), or none when bare is Seconds; into seconds, from low to high. */
bool ParseDuration(const char *text, BareDuration bare, double low, double high, double *seconds);

/* A comma-separated list of percentiles, each from 0 to 100; at most 32. */
bool ParsePercentiles(const char *text, std::vector<double> *percentiles);

/* A percentile as the shortest text that reads back as it: 50, 99.9. */
std::string PercentileName(double percentile);

enum : uint32_t { MaxAgents = 1000 };  /* -D */
enum : size_t { MaxPercentiles = 32 }; /* -p */

/* -a group: true when arg is a group name (1 to 64 of [A-Za-z0-9_-]). */
bool ParseAgentGroup(const char *arg, std::string *group);

/* -D group:agents, with 1 to MaxAgents agents. */
bool ParseAgentCount(const char *arg, std::string *group, uint32_t *agents);

#endif
