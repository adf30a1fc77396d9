/* Readers of the option arguments. Numbers that do not fit an int are
 * clamped to the int range; every in-range number reads as the C library's
 * scanf "%d" and atoi would read it. */
#ifndef TFX_SERVER_OPTIONVALUES_H
#define TFX_SERVER_OPTIONVALUES_H

/* Scans text as "<int>:<int>" into *first and *second, as sscanf with
 * "%d:%d" does. A field that is not read keeps its value. Returns the number
 * of fields read, or -1 when the text ends (or holds only white space) before
 * the first one. */
int ScanIntPair(const char *text, char separator, int *first, int *second);

/* The valid leading decimal integer of text, 0 when there is none. */
int TextToInt(const char *text);

/* Reads "lo-hi" or "n" seconds into milliseconds, truncated toward zero and
 * clamped to the int range. Text without a number gives 0. */
void ReadInterval(const char *text, int *minWait, int *maxWait);

/* Formats text into a message id: its first 23 bytes, blank-filled to 23,
 * then a zero byte. */
void FormatMsgId(const char *text, char msgId[24]);

/* 1 when text holds a character other than white space, else 0. */
int HasNonBlank(const char *text);

#endif
