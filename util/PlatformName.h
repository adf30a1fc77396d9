/* Platform names from platform codes: the high byte names the family (0x01
 * Intel, 0x02 Unix, 0x04 MVS), the next byte the variant; variant 0 is the
 * family's catch-all. */
#ifndef TFX_UTIL_PLATFORMNAME_H
#define TFX_UTIL_PLATFORMNAME_H

#include <cstdint>

/* Writes the name of the platform code to dest as a padded field of width
 * bytes (cut to width, or blanks up to it), without a terminator. A code that
 * is not one of the known ones is named "Unknown". */
void EnvToString(uint32_t code, char *dest, uint32_t width);

#endif
