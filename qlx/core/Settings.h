/* The library's settings from the environment, read when a connection opens:
 * each one checked whole, a bad value refused with a text that names the
 * variable, the value and what is expected. */
#ifndef TFX_QLX_SETTINGS_H
#define TFX_QLX_SETTINGS_H

#include <cstdint>

namespace qlx {

/* A size in bytes from variable: digits with an optional K, M or G (powers
 * of 1024). Unset or empty gives fallback. A value that is not a size, or is
 * outside [least, most], is recorded as the failure (QLXRC_BAD_SETTING) and
 * false returned. */
bool ReadSizeSetting(const char *variable, uint64_t fallback, uint64_t least, uint64_t most,
                     uint64_t *value);

/* A count from variable, plain digits within [least, most]; as above. */
bool ReadCountSetting(const char *variable, uint64_t fallback, uint64_t least, uint64_t most,
                      uint64_t *value);

/* A switch from variable: 1 is on; unset, empty or 0 is off; anything else is
 * recorded as the failure and false returned. */
bool ReadSwitchSetting(const char *variable, bool *on);

/* The value of variable when it is set and not empty, else null. */
const char *SettingText(const char *variable);

} // namespace qlx

#endif
