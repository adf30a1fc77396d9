/* Console input for the pauses before the process ends. */
#ifndef TFX_UTIL_CONSOLEINPUT_H
#define TFX_UTIL_CONSOLEINPUT_H

/* Shows what standard output holds so far, then reads one line from standard
 * input, whatever its length, and discards it. The end of the input also ends
 * the wait. */
void WaitForEnter();

#endif
