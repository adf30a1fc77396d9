/* Splitting one command line into an argument vector. */
#ifndef TFX_UTIL_ARGUMENTSPLIT_H
#define TFX_UTIL_ARGUMENTSPLIT_H

/* Splits line at blanks, in place: every blank becomes a zero byte, argv[0]
 * gets name, argv[1] on the starts of the arguments in order, and the entry
 * after the last one null. Only the blank separates (a tab belongs to an
 * argument) and runs of blanks make no empty arguments. Returns the count of
 * entries before the null, argv[0] included. argv needs room for that count
 * plus one; (strlen(line) + 1) / 2 + 2 entries always suffice. */
int ConstructArgs(char *line, char *name, char **argv);

#endif
