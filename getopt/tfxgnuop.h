/* Option scanner: single-character options of an argument vector, one per call. */
#ifndef TFX_GETOPT_TFXGNUOP_H
#define TFX_GETOPT_TFXGNUOP_H

/* The customary scanner globals. The C library declares the same names with the
 * same types and C linkage, so both declarations may meet in one translation
 * unit; ours are the ones defined in the program. */
extern "C" {
extern char *optarg; /* argument of the option just returned, or null */
extern int optind;   /* index of the argument being scanned; 0 = scanning not started */
extern int opterr;   /* non-zero: diagnostics go to standard error */
extern int optopt;   /* option character of the last error */
}

/* Returns the next option character of argv, '?' or ':' for an error, -1 when
 * the options are over. Set optind to 0 to scan again from the start. */
int tfx_getopt(int argc, char **argv, const char *optstring);

#endif
