/* Theme identifiers: 24 raw bytes, and their text of 48 upper-case
 * hexadecimal digits (high half of each byte first), without a terminator. */
#ifndef TFX_UTIL_THEMEID_H
#define TFX_UTIL_THEMEID_H

/* Writes the 48 digits of id to text; nothing beyond them. */
void ConvertThemeId(char *text, const unsigned char *id);

/* Reads the 48 characters of text, and nothing beyond them, into the 24 bytes
 * of id. Digits of either case count as their values; any other character
 * counts as 0, whatever the locale. Never fails. */
void RevertThemeId(const char *text, unsigned char *id);

/* Writes id as text to the trace as a detail line. No other effect. */
void PrintThemeId(const unsigned char *id);

/* Compares the 24 bytes of id1 and id2 as unsigned bytes: 0 when equal,
 * negative when id1 holds the smaller byte at the first difference, positive
 * otherwise. Writes both and the result to the trace as detail lines. */
int CompareThemeId(const unsigned char *id1, const unsigned char *id2);

#endif
