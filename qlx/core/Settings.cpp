#include "qlx/core/Settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qlx/ErrorRecord.h"
#include "qlx/core/Errors.h"

namespace qlx {

const char *SettingText(const char *variable)
{
    const char *value = getenv(variable);
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

/* The decimal digits at *text as a number, stopping at the first other
 * character; false when there are none or the number passes most. */
static bool ParseDigits(const char **text, uint64_t most, uint64_t *number)
{
    const char *at = *text;
    uint64_t value = 0;
    for (; *at >= '0' && *at <= '9'; ++at) {
        uint64_t digit = static_cast<uint64_t>(*at - '0');
        if (value > (most - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    if (at == *text)
        return false;
    *text = at;
    *number = value;
    return true;
}

static int SuffixShift(char suffix)
{
    switch (suffix) {
    case 'K':
    case 'k':
        return 10;
    case 'M':
    case 'm':
        return 20;
    case 'G':
    case 'g':
        return 30;
    default:
        return -1;
    }
}

/* Formats a size for texts: the largest of G, M and K that divides it. */
static const char *SizeText(uint64_t bytes, char *text, size_t size)
{
    static const char Suffixes[] = "GMK";
    for (int i = 0; i < 3; ++i) {
        uint64_t unit = 1ull << (30 - 10 * i);
        if (bytes % unit == 0) {
            (void)snprintf(text, size, "%llu%c", static_cast<unsigned long long>(bytes / unit),
                           Suffixes[i]);
            return text;
        }
    }
    (void)snprintf(text, size, "%llu", static_cast<unsigned long long>(bytes));
    return text;
}

bool ReadSizeSetting(const char *variable, uint64_t fallback, uint64_t least, uint64_t most,
                     uint64_t *value)
{
    const char *text = SettingText(variable);
    if (text == nullptr) {
        *value = fallback;
        return true;
    }
    const char *at = text;
    uint64_t number = 0;
    bool parsed = ParseDigits(&at, UINT64_MAX, &number);
    int shift = parsed && at[0] != '\0' ? SuffixShift(at[0]) : 0;
    if (!parsed || shift < 0 || (shift > 0 && at[1] != '\0'))
        return Fail(QLXRC_BAD_SETTING,
                    "%s=%s is not a size: give bytes, or a number with K, M or G (as 512M)",
                    variable, text);
    char low[24];
    char high[24];
    if (number > (most >> shift) || (number << shift) < least)
        return Fail(QLXRC_BAD_SETTING, "%s=%s is out of range: give %s to %s", variable, text,
                    SizeText(least, low, sizeof low), SizeText(most, high, sizeof high));
    *value = number << shift;
    return true;
}

bool ReadCountSetting(const char *variable, uint64_t fallback, uint64_t least, uint64_t most,
                      uint64_t *value)
{
    const char *text = SettingText(variable);
    if (text == nullptr) {
        *value = fallback;
        return true;
    }
    const char *at = text;
    uint64_t number = 0;
    if (!ParseDigits(&at, UINT64_MAX, &number) || at[0] != '\0')
        return Fail(QLXRC_BAD_SETTING, "%s=%s is not a number", variable, text);
    if (number < least || number > most)
        return Fail(QLXRC_BAD_SETTING, "%s=%s is out of range: give %llu to %llu", variable, text,
                    static_cast<unsigned long long>(least), static_cast<unsigned long long>(most));
    *value = number;
    return true;
}

bool ReadSwitchSetting(const char *variable, bool *on)
{
    const char *text = SettingText(variable);
    *on = text != nullptr && strcmp(text, "1") == 0;
    if (text == nullptr || *on || strcmp(text, "0") == 0)
        return true;
    return Fail(QLXRC_BAD_SETTING, "%s=%s is not a switch: set it to 1 or 0, or leave it unset",
                variable, text);
}

} // namespace qlx
