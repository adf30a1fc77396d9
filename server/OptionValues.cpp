#include "server/OptionValues.h"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

static int ClampToInt(long long value)
{
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

static const char *SkipBlanks(const char *text)
{
    while (isspace(static_cast<unsigned char>(*text)))
        ++text;
    return text;
}

/* One "%d" conversion at *cursor. Returns 1 and advances the cursor past the
 * number when there is one; 0 on a mismatch; -1 when the text ends first. */
static int ScanInt(const char **cursor, int *value)
{
    const char *start = SkipBlanks(*cursor);
    if (*start == '\0')
        return -1;
    const char *digits = start + (*start == '+' || *start == '-');
    if (!isdigit(static_cast<unsigned char>(*digits)))
        return 0;
    char *end = nullptr;
    long long number = strtoll(start, &end, 10);
    *value = ClampToInt(number);
    *cursor = end;
    return 1;
}

int ScanIntPair(const char *text, char separator, int *first, int *second)
{
    const char *cursor = text;
    int result = ScanInt(&cursor, first);
    if (result <= 0)
        return result;
    if (*cursor != separator)
        return 1;
    ++cursor;
    return ScanInt(&cursor, second) == 1 ? 2 : 1;
}

int TextToInt(const char *text)
{
    int value = 0;
    (void)ScanInt(&text, &value);
    return value;
}

static int MillisecondsOf(double seconds)
{
    double ms = seconds * 1000.0;
    if (std::isnan(ms))
        return 0;
    if (ms >= 2147483647.0)
        return INT_MAX;
    if (ms <= -2147483648.0)
        return INT_MIN;
    return static_cast<int>(ms);
}

void ReadInterval(const char *text, int *minWait, int *maxWait)
{
    double lo = 0.0;
    double hi = 0.0;
    if (sscanf(text, "%lf-%lf", &lo, &hi) != 2) {
        lo = atof(text);
        hi = lo;
    }
    *minWait = MillisecondsOf(lo);
    *maxWait = MillisecondsOf(hi);
}

void FormatMsgId(const char *text, char msgId[24])
{
    (void)snprintf(msgId, 24, "%-*.*s", 23, 23, text);
}

int HasNonBlank(const char *text)
{
    return *SkipBlanks(text) != '\0';
}
