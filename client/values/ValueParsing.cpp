#include "client/values/ValueParsing.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

bool ParseUnsigned(const char *text, uint64_t low, uint64_t high, uint64_t *value)
{
    if (!isdigit(static_cast<unsigned char>(text[0])))
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long number = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || number < low || number > high)
        return false;
    *value = number;
    return true;
}

/* The longest leading decimal number of text (digits, optionally a point and
 * more digits): its value and where it ends. False when text starts with
 * anything else. No sign, exponent, hex or blanks: option values are plain. */
static bool ReadDecimal(const char *text, double *value, const char **end)
{
    const char *cursor = text;
    while (isdigit(static_cast<unsigned char>(*cursor)))
        ++cursor;
    bool whole = cursor != text;
    if (*cursor == '.') {
        const char *fraction = ++cursor;
        while (isdigit(static_cast<unsigned char>(*cursor)))
            ++cursor;
        if (!whole && cursor == fraction)
            return false;
    } else if (!whole) {
        return false;
    }
    *value = strtod(text, nullptr);
    *end = cursor;
    return std::isfinite(*value);
}

bool ParseDecimal(const char *text, double low, double high, double *value)
{
    double number = 0.0;
    const char *end = nullptr;
    if (!ReadDecimal(text, &number, &end) || *end != '\0' || number < low || number > high)
        return false;
    *value = number;
    return true;
}

bool ParseSizeRange(const char *text, uint32_t limit, uint32_t *low, uint32_t *high)
{
    const char *dash = strchr(text, '-');
    uint64_t first = 0;
    uint64_t second = 0;
    if (dash == nullptr) {
        if (!ParseUnsigned(text, 0, limit, &first))
            return false;
        *low = *high = static_cast<uint32_t>(first);
        return true;
    }
    std::string head(text, static_cast<size_t>(dash - text));
    if (!ParseUnsigned(head.c_str(), 0, limit, &first) ||
        !ParseUnsigned(dash + 1, 0, limit, &second) || first > second)
        return false;
    *low = static_cast<uint32_t>(first);
    *high = static_cast<uint32_t>(second);
    return true;
}

/* A decimal number with an optional k or M behind it: its value scaled, and
 * whether it had one. */
static bool ReadScaled(const char *text, double *value, bool *scaled)
{
    double number = 0.0;
    const char *end = nullptr;
    if (!ReadDecimal(text, &number, &end))
        return false;
    *scaled = *end != '\0';
    if (!*scaled) {
        *value = number;
        return true;
    }
    if ((*end != 'k' && *end != 'M') || end[1] != '\0')
        return false;
    *value = number * (*end == 'k' ? 1e3 : 1e6);
    return true;
}

bool ParseCount(const char *text, uint64_t low, uint64_t high, uint64_t *value)
{
    double number = 0.0;
    bool scaled = false;
    if (!ReadScaled(text, &number, &scaled))
        return false;
    if (!scaled)
        return ParseUnsigned(text, low, high, value);
    double whole = std::round(number);
    /* 1.001k is 1001 although its binary product is not quite. */
    if (std::fabs(number - whole) > 1e-6 || whole < static_cast<double>(low) ||
        whole > static_cast<double>(high))
        return false;
    *value = static_cast<uint64_t>(whole);
    return true;
}

bool ParseRate(const char *text, double low, double high, double *value)
{
    double number = 0.0;
    bool scaled = false;
    if (!ReadScaled(text, &number, &scaled) || number < low || number > high)
        return false;
    *value = number;
    return true;
}

bool ParseDuration(const char *text, BareDuration bare, double low, double high, double *seconds)
{
    static const struct {
        const char *Unit;
        double Scale;
    } Units[] = {{"ns", 1e-9}, {"us", 1e-6}, {"ms", 1e-3}, {"s", 1.0}, {"m", 60.0}};
    double number = 0.0;
    const char *end = nullptr;
    if (!ReadDecimal(text, &number, &end))
        return false;
    double scale = *end == '\0' && bare == BareDuration::Seconds ? 1.0 : 0.0;
    for (const auto &unit : Units)
        scale = strcmp(end, unit.Unit) == 0 ? unit.Scale : scale;
    double value = number * scale;
    if (scale == 0.0 || value < low || value > high)
        return false;
    *seconds = value;
    return true;
}

bool ParsePercentiles(const char *text, std::vector<double> *percentiles)
{
    std::vector<double> list;
    const char *cursor = text;
    for (;;) {
        const char *comma = strchr(cursor, ',');
        std::string item = comma != nullptr
                               ? std::string(cursor, static_cast<size_t>(comma - cursor))
                               : std::string(cursor);
        double value = 0.0;
        if (!ParseDecimal(item.c_str(), 0.0, 100.0, &value) || list.size() >= MaxPercentiles)
            return false;
        list.push_back(value);
        if (comma == nullptr)
            break;
        cursor = comma + 1;
    }
    *percentiles = list;
    return true;
}

std::string PercentileName(double percentile)
{
    char text[48];
    for (int decimals = 0; decimals <= 9; ++decimals) {
        (void)snprintf(text, sizeof text, "%.*f", decimals, percentile);
        if (strtod(text, nullptr) == percentile)
            return text;
    }
    (void)snprintf(text, sizeof text, "%.17g", percentile);
    return text;
}

bool ParseAgentGroup(const char *arg, std::string *group)
{
    size_t length = strlen(arg);
    if (length == 0 || length > 64 ||
        strspn(arg, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-") != length)
        return false;
    *group = arg;
    return true;
}

bool ParseAgentCount(const char *arg, std::string *group, uint32_t *agents)
{
    const char *colon = strrchr(arg, ':');
    uint64_t count = 0;
    if (colon == nullptr || !ParseUnsigned(colon + 1, 1, MaxAgents, &count) ||
        !ParseAgentGroup(std::string(arg, colon).c_str(), group))
        return false;
    *agents = static_cast<uint32_t>(count);
    return true;
}
