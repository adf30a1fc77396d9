/* The calls of the messaging library libqlx. Each returns non-zero for
 * success and zero for failure; after a failure qlxGetLastError tells what
 * failed and why. */
#ifndef QLX_QLX_H
#define QLX_QLX_H

#include <stdint.h>

#include "qlx/ClientRecords.h"
#include "qlx/ErrorRecord.h"
#include "qlx/Portable.h"
#include "qlx/ServiceRecords.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Service side. */

/* Opens the service under address->Name and writes its handle to *hConn. On
 * failure *hConn holds a value that qlxTerminate accepts. */
int qlxServerInitialize(QLXSERVICEADDRESS *address, QLXHCONN *hConn) QLX_NOEXCEPT;

/* Waits up to options->WaitInterval ms for a message and delivers it into
 * *message (MsgType, DataLength, Buffer) with its handle in *hRequest. Fails
 * with QLXRC_NO_MESSAGE when nothing came, when a signal cut the wait short,
 * and when a stop request arrived, which also sets QLX_STATUS_STOP in
 * options->Status. */
int qlxGetRequest(QLXHCONN hConn, QLXMESSAGE *message, QLXGETOPTIONS *options, void *reserved,
                  QLXHREQ *hRequest) QLX_NOEXCEPT;

/* Sends Data/DataLength of *message as one response to the request:
 * QLX_PMO_NOTIFY makes it a notify response, QLX_PMO_MORE says more follow;
 * without QLX_PMO_MORE it completes the request. A reply to a client that has
 * gone, or that does not read, is dropped without failing. */
int qlxPutResponse(QLXHCONN hConn, QLXMESSAGE *message, QLXPUTOPTIONS *options, void *reserved,
                   QLXHREQ *hRequest) QLX_NOEXCEPT;

/* Sends an alert to the client of the transaction being handled. */
int qlxSendAlert(QLXHCONN hConn, QLXALERT *alert) QLX_NOEXCEPT;

/* Ends a request that gets no response: a transaction's client is told so, a
 * datagram's handle is simply closed. */
int qlxCloseHandle(QLXHCONN hConn, QLXHREQ *hRequest) QLX_NOEXCEPT;

/* Gives a received buffer back to the library and clears the descriptor.
 * hConn may be 0. A buffer the library did not hand out is left alone. */
int qlxFreeBuffer(QLXHCONN hConn, QLXBUFFER *buffer) QLX_NOEXCEPT;

/* Copies the error of this thread's last failed call into *error. */
int qlxGetLastError(QLXERROR *error) QLX_NOEXCEPT;

/* Writes count result blocks as text joined by "; " at out, within the *room
 * bytes free there, terminated when *room is not 0; *room is left holding the
 * bytes still free, the terminator's among them. Fails with QLXRC_TEXT_CUT
 * when the text and its terminator need more room: what fits is written. */
int qlxFormatError(const ResultBlock *block, int32_t count, char *out, uint32_t *room) QLX_NOEXCEPT;

/* Closes a service or client connection and sets *hConn to 0. Any value is
 * accepted; one that names no connection does nothing. */
int qlxTerminate(QLXHCONN *hConn) QLX_NOEXCEPT;

/* What the service behind hConn has done so far. A record whose Version is 1
 * is filled in that version's layout only. */
int qlxGetServiceStats(QLXHCONN hConn, QLXSTATS *stats) QLX_NOEXCEPT;

/* Client side. */

/* Connects to the service element address->Name. Fails when no live process
 * serves it: on the local machine by its lock file, over tcp:// when no
 * service answers the handshake within 5 s. */
int qlxClientConnect(QLXSERVICEADDRESS *address, QLXHCONN *hConn) QLX_NOEXCEPT;

/* Sends a transaction or a datagram. */
int qlxClientSend(QLXHCONN hConn, const QLXREQUEST *request) QLX_NOEXCEPT;

/* Sends the application manager's stop request. */
int qlxClientStop(QLXHCONN hConn) QLX_NOEXCEPT;

/* Waits up to waitMs (negative: no limit) for the next reply. Fails with
 * QLXRC_NO_MESSAGE when none came. */
int qlxClientReceive(QLXHCONN hConn, QLXREPLY *reply, int32_t waitMs) QLX_NOEXCEPT;

/* Waits up to waitMs for any of count connections to hold a reply; sets
 * ready[i] to 1 for each that does, 0 for the others. Fails with
 * QLXRC_NO_MESSAGE when none did. */
int qlxClientWait(const QLXHCONN *hConns, uint32_t count, int32_t waitMs,
                  uint8_t *ready) QLX_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif
