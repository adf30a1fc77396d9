/* No C library header here: <strings.h> declares index() with other overloads
 * in C++, and this unit defines the C-linkage one. */
#include "getopt/index.h"

/* Returns the first ch in s (the terminator counts), or null when there is none. */
char *index(const char *s, int ch)
{
    return __builtin_strchr(s, ch);
}
