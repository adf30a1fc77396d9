/* index(s, ch): strchr under its older name. */
#ifndef TFX_GETOPT_INDEX_H
#define TFX_GETOPT_INDEX_H

/* In C++ the C library's <strings.h> (pulled in by <string.h> and <cstring>)
 * declares index() as two overloads with other result types: include this
 * header only in units that do without those headers. */
extern "C" char *index(const char *s, int ch);

#endif
