/* The pseudo-random draws for delays and reply sizes: a 15-bit generator
 * that is never seeded, so every run draws the same sequence. */
#ifndef TFX_SERVER_RANDOMDRAW_H
#define TFX_SERVER_RANDOMDRAW_H

/* The next number of the sequence, 0 to 32767. */
int DrawRandom();

/* minimum + r * (maximum - minimum) / 32767 for a fresh draw r, in 64-bit
 * arithmetic: minimum for r = 0, maximum for r = 32767. */
int DrawInRange(int minimum, int maximum);

#endif
