/* The one way a failed messaging call ends the run. */
#ifndef TFX_SERVER_FATALFAILURE_H
#define TFX_SERVER_FATALFAILURE_H

#include "qlx/ErrorRecord.h"
#include "qlx/ServiceRecords.h"

extern QLXERROR Err; /* the error of the last failed call */

/* Fetches the error of the call that just failed, reports it under label,
 * closes the connection and ends the process with exit code 1. No summary. */
[[noreturn]] void FatalFailure(const char *label, QLXHCONN *hConn);

#endif
