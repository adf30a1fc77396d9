/* What the server does with each message it receives. */
#ifndef TFX_SERVER_TRANSACTION_H
#define TFX_SERVER_TRANSACTION_H

#include "server/ServiceRun.h"

/* Handles the message that the last qlxGetRequest delivered: reports and
 * counts it, closes a datagram, answers a transaction. Does not return when a
 * response cannot be sent. */
void HandleMessage(ServiceRun *run);

#endif
