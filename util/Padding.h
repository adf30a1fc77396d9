/* Fixed-width text fields: exactly width bytes of text followed by blanks,
 * with no terminator. */
#ifndef TFX_UTIL_PADDING_H
#define TFX_UTIL_PADDING_H

#include <cstdint>

/* Turns every underscore of text into a blank, up to max characters or the
 * first zero byte, whichever comes first. */
void ConvertScoreToBlank(char *text, uint32_t max);

/* Fills dest with exactly width bytes: the text of src (up to its terminator,
 * at most srcmax characters), cut to width or padded with blanks to it. Writes
 * no terminator; width 0 writes nothing. */
void CopyAndPad(char *dest, const char *src, uint32_t width, uint32_t srcmax);

/* Appends src to the padded field dest of width bytes, whose text ends at its
 * first blank or zero byte: everything from there on is replaced as CopyAndPad
 * does. A field without a blank or zero byte stays as it was. */
void ConcatAndPad(char *dest, const char *src, uint32_t width, uint32_t srcmax);

#endif
