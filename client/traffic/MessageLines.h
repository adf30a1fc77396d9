/* The per-message lines of -v: one for every message sent and every reply
 * received, with the message's text. */
#ifndef TFX_CLIENT_MESSAGELINES_H
#define TFX_CLIENT_MESSAGELINES_H

#include <cstdint>
#include <cstdio>

#include "qlx/ClientRecords.h"
#include "client/traffic/Workload.h"

/* "Sent Transaction 3 length 128: message 3 from ...". */
void PrintSentLine(FILE *out, const PlannedMessage &message, const char *data);

/* "Got Response to 3 (notify, more) length 128: message 3 from ...; E1" and
 * the like for alerts, ends and refusals. */
void PrintReplyLine(FILE *out, const QLXREPLY &reply, uint64_t seq);

#endif
