/* Run settings: how one run of the server behaves. Filled once from the
 * command line, read-only afterwards; only Run changes later. */
#ifndef TFX_SERVER_RUNSETTINGS_H
#define TFX_SERVER_RUNSETTINGS_H

#include <csignal>

extern const char *ElementName; /* service element name; also the reply tag */
extern const char *PutProfile;  /* put-options profile; null = empty name */
extern const char *GetProfile;  /* get-options profile; null = empty name */
extern int DataTimeout;         /* -t: empty waits before the run ends; 0 = no limit */
extern int DataMinWait;         /* -i: shortest delay before answering, ms; 0 = none */
extern int DataMaxWait;         /* -i: longest delay before answering, ms */
extern int DataMinSize;         /* -s: smallest reply data size; 0 = data not replaced */
extern int DataMaxSize;         /* -s: largest reply data size */
extern int DataNormal;          /* -c, -a: normal responses per transaction */
extern int DataNotify;          /* -c, -a: notify responses, sent before the normal ones */
extern char DataMsgId[24];      /* -m: message id; a zero first byte = none */
extern int DataAlert;           /* -a y: send an alert with the notify responses */
extern int DataQuiet;           /* -q: no per-message lines */
extern int Popups;              /* -p: pause for ENTER before the process ends */

/* The request loop goes on while Run is non-zero. Written by the signal
 * handler, so every test reads it afresh from memory. */
extern volatile sig_atomic_t Run;

/* Set by the SIGPIPE handler when the reader of the output has gone. */
extern volatile sig_atomic_t OutputLost;

/* The exit code of a run whose output was lost: 0, 1 and 2 are the
 * normal end, a failed messaging call and a usage error. */
enum { ExitOutputLost = 3 };

#endif
