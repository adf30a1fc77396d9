/* The error record that the messaging library fills after a failed call. */
#ifndef QLX_ERRORRECORD_H
#define QLX_ERRORRECORD_H

#include <stddef.h>
#include <stdint.h>

#include "qlx/Portable.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One result: what failed (primary) or why (sub). Only qlxFormatError turns
 * it into text; the server reads ReasonCode alone. */
typedef struct ResultBlock {
    int32_t CompletionCode; /* 0 = success, 2 = failed */
    int32_t ReasonCode;     /* QLXRC_* */
    char Text[216];         /* zero-terminated */
} ResultBlock;

typedef struct QLXERROR {
    int32_t Reserved;
    ResultBlock PrimaryResult;
    ResultBlock SubResult;
} QLXERROR;

/* Reason codes of the library. */
enum {
    QLXRC_NONE = 0,
    QLXRC_NO_MESSAGE = 20,         /* nothing arrived within the wait interval */
    QLXRC_BAD_CONNECTION = 30,     /* the connection handle names no open connection */
    QLXRC_BAD_REQUEST = 31,        /* the request handle names no open transaction */
    QLXRC_BAD_ARGUMENT = 32,       /* a null pointer, or a record with a wrong eye-catcher */
    QLXRC_NO_CURRENT_REQUEST = 33, /* an alert with no transaction being handled */
    QLXRC_NOT_OUR_BUFFER = 34,     /* the buffer was not handed out by this library */
    QLXRC_TEXT_CUT = 35,           /* the error text did not fit the room given: it is cut */
    QLXRC_RUNTIME_DIR = 40,        /* the runtime directory cannot be used safely */
    QLXRC_ENDPOINT = 41,           /* the element name maps to no usable endpoint */
    QLXRC_ALREADY_SERVED = 42,     /* a live process serves the element already */
    QLXRC_NOT_SERVED = 43,         /* no live process serves the element */
    QLXRC_TRANSPORT = 44,          /* the transport refused a bind, connect or option */
    QLXRC_BAD_SETTING = 45,        /* a QLX_* setting has a value the library cannot use */
    QLXRC_KEYS = 46,               /* keys missing, unsafe or malformed; plaintext off loopback */
    QLXRC_NO_RECEIVER = 50,        /* refused: no receiver for this message id */
    QLXRC_DATA_TOO_LARGE = 51,     /* refused: data over the maximum size */
    QLXRC_TOO_MANY_REQUESTS = 52,  /* refused: too many transactions outstanding */
    QLXRC_SEND_FAILED = 60,        /* the transport did not take a message */
    QLXRC_RECEIVE_FAILED = 61,     /* the transport failed while receiving */
    QLXRC_NO_MEMORY = 62,          /* a buffer could not be allocated */
    QLXRC_SEND_QUEUE_FULL = 63,    /* the queue towards the service is full */
    QLXRC_CONNECTION_LOST = 64,    /* the connection was lost: the outcome is unknown */
};

#ifdef __cplusplus
} /* extern "C" */
#endif

QLX_LAYOUT(sizeof(ResultBlock) == 224);
QLX_LAYOUT(offsetof(ResultBlock, ReasonCode) == 4);
QLX_LAYOUT(sizeof(QLXERROR) == 452);
QLX_LAYOUT(offsetof(QLXERROR, PrimaryResult) == 4);
QLX_LAYOUT(offsetof(QLXERROR, PrimaryResult) + offsetof(ResultBlock, ReasonCode) == 8);
QLX_LAYOUT(offsetof(QLXERROR, SubResult) == 228);

#endif
