/* Telling the no-message failure from real errors, and reporting the latter. */
#ifndef TFX_BINDING_TFXCODES_H
#define TFX_BINDING_TFXCODES_H

#include "qlx/ErrorRecord.h"

/* 1 when the primary reason code of the record is 20 (no message arrived
 * within the wait interval), else 0. */
int IsNoMsgError(const QLXERROR *error);

/* Writes the report of a failed call to standard error: the label (null for
 * none), then the primary and the sub result, in at most 800 bytes. With
 * pause non-zero, then waits for the ENTER key. Neither ends the run nor
 * exits: the caller does. */
void ProcessError(QLXERROR *error, const char *label, int pause);

#endif
