/* The records of the messaging library's client side: a request to send to a
 * service element, and one reply received from it. */
#ifndef QLX_CLIENTRECORDS_H
#define QLX_CLIENTRECORDS_H

#include <stddef.h>
#include <stdint.h>

#include "qlx/Portable.h"
#include "qlx/ServiceRecords.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A transaction or datagram to send. */
typedef struct QLXREQUEST {
    char StrucId[4];                 /* "FXRQ" */
    int32_t Version;                 /* 1 */
    int32_t MsgType;                 /* QLX_MSGTYPE_TRANSACTION or QLX_MSGTYPE_DATAGRAM */
    uint32_t Options;                /* QLX_RQO_* bits */
    uint64_t RequestId;              /* echoed by every reply to a transaction */
    uint8_t MsgId[QLX_MSGID_LENGTH]; /* sent with QLX_RQO_MSGID */
    uint32_t DataLength;             /* data bytes at Data */
    uint32_t Reserved;
    const char *Data;
} QLXREQUEST;

/* One reply from the service. Data points into a library buffer that stays
 * valid until the next receive on the same connection. */
typedef struct QLXREPLY {
    char StrucId[4];      /* "FXRP" */
    int32_t Version;      /* 1, or QLX_REPLY_VERSION_GONE to be told of QLX_REPLY_GONE */
    int32_t Kind;         /* QLX_REPLY_* */
    uint32_t Flags;       /* QLX_RF_* bits, for a response */
    int32_t Code;         /* alert type, or the reason code of a refusal */
    uint32_t MsgIdLength; /* 0, or QLX_MSGID_LENGTH when MsgId came with it */
    uint64_t RequestId;   /* the transaction replied to */
    uint8_t MsgId[QLX_MSGID_LENGTH];
    uint32_t DataLength; /* data bytes at Data */
    uint32_t BufferSize; /* capacity at Data; Data[DataLength] is zero */
    char *Data;
} QLXREPLY;

#define QLX_RQO_MSGID 0x1u /* send MsgId with the request */

/* The most data a service takes in one request: a transaction with more is
 * refused (QLXRC_DATA_TOO_LARGE), a datagram with more dropped. */
#define QLX_MAX_DATA_LENGTH (1u << 20)

enum {
    QLX_REPLY_RESPONSE = 'R', /* one response */
    QLX_REPLY_END = 'E',      /* the transaction was closed without a response */
    QLX_REPLY_ALERT = 'A',    /* an alert; Code is its type, Data its text */
    QLX_REPLY_REFUSED = 'N',  /* the message was refused; Code is the reason */
    /* Only to a reply record of version 2: the service went away (it closed
     * the connection, or over NATS nobody serves the element any more).
     * Nothing outstanding then will be answered by it; RequestId is 0. */
    QLX_REPLY_GONE = 'G',
};

enum { QLX_REPLY_VERSION_GONE = 2 }; /* the reply version that is told QLX_REPLY_GONE */

#define QLX_RF_NOTIFY 0x1u /* a notify response */
#define QLX_RF_MORE   0x2u /* more responses follow */

/* What a service has done so far, for monitoring and tests. Version 1 of the
 * record ends before TransportDropped, version 2 before RefusedNoReceiver;
 * each later version only adds at the end. */
typedef struct QLXSTATS {
    char StrucId[4];           /* "FXST" */
    int32_t Version;           /* 3 */
    uint64_t Transactions;     /* transactions delivered */
    uint64_t Datagrams;        /* datagrams delivered */
    uint64_t StopRequests;     /* stop requests received */
    uint64_t Malformed;        /* messages dropped as malformed */
    uint64_t Refused;          /* transactions answered with a refusal */
    uint64_t DatagramsDropped; /* datagrams not delivered (message id, size) */
    uint64_t RepliesSent;      /* responses, ends, alerts and refusals sent */
    uint64_t RepliesDropped;   /* replies to peers that had gone or did not read */
    uint64_t BuffersHanded;    /* receive buffers handed out */
    uint64_t BuffersReleased;  /* receive buffers given back */
    uint64_t TransportDropped; /* messages the transport lost before they were received */
    uint64_t KeysRefused;      /* clients refused at their handshake for a key not allowed */
    /* Of Refused, by reason: QLXRC_NO_RECEIVER, QLXRC_DATA_TOO_LARGE,
     * QLXRC_TOO_MANY_REQUESTS and QLXRC_NO_MEMORY. */
    uint64_t RefusedNoReceiver;
    uint64_t RefusedTooLarge;
    uint64_t RefusedTooMany;
    uint64_t RefusedNoMemory;
    uint64_t BytesReceived; /* the frames of every message received, header included */
    uint64_t BytesSent;     /* the frames of every reply sent, header included */
    /* ZeroMQ over tcp:// or ipc://, for the whole process: connections open
     * now, accepted so far, and refused at the connection limit so far. */
    uint64_t ConnectionsOpen;
    uint64_t ConnectionsAccepted;
    uint64_t ConnectionsRefused;
    uint64_t ReplyBytesHeld;  /* bytes held in replies queued towards peers now */
    uint64_t ReplyBytesLimit; /* what they may hold at most (QLX_MEMORY_LIMIT) */
    char Transport[8];        /* "zmq" or "nats", terminated */
} QLXSTATS;

enum {
    QLX_STATS_VERSION_1_SIZE = 88,  /* the bytes of a version 1 record */
    QLX_STATS_VERSION_2_SIZE = 104, /* the bytes of a version 2 record */
};

/* The default images every record starts from, as initializers; kept as
 * written, since clang-format would set their braces out as blocks. */
/* clang-format off */
#define QLX_DEFAULT_REQUEST {{'F', 'X', 'R', 'Q'}, 1, QLX_MSGTYPE_TRANSACTION, 0, 0, {0}, 0, 0, NULL}
#define QLX_DEFAULT_REPLY {{'F', 'X', 'R', 'P'}, 1, 0, 0, 0, 0, 0, {0}, 0, 0, NULL}
#define QLX_DEFAULT_STATS {{'F', 'X', 'S', 'T'}, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, {0}}
/* clang-format on */

#ifdef __cplusplus
} /* extern "C" */
#endif

QLX_LAYOUT(sizeof(QLXREQUEST) == 64);
QLX_LAYOUT(offsetof(QLXREQUEST, RequestId) == 16);
QLX_LAYOUT(offsetof(QLXREQUEST, MsgId) == 24);
QLX_LAYOUT(offsetof(QLXREQUEST, DataLength) == 48);
QLX_LAYOUT(offsetof(QLXREQUEST, Data) == 56);
QLX_LAYOUT(sizeof(QLXREPLY) == 72);
QLX_LAYOUT(offsetof(QLXREPLY, RequestId) == 24);
QLX_LAYOUT(offsetof(QLXREPLY, MsgId) == 32);
QLX_LAYOUT(offsetof(QLXREPLY, DataLength) == 56);
QLX_LAYOUT(offsetof(QLXREPLY, Data) == 64);
QLX_LAYOUT(offsetof(QLXSTATS, Transactions) == 8);
QLX_LAYOUT(offsetof(QLXSTATS, BuffersReleased) == 80);
QLX_LAYOUT(offsetof(QLXSTATS, TransportDropped) == QLX_STATS_VERSION_1_SIZE);
QLX_LAYOUT(offsetof(QLXSTATS, KeysRefused) == 96);
QLX_LAYOUT(offsetof(QLXSTATS, RefusedNoReceiver) == QLX_STATS_VERSION_2_SIZE);
QLX_LAYOUT(offsetof(QLXSTATS, Transport) == 192);
QLX_LAYOUT(sizeof(QLXSTATS) == 200);

#endif
