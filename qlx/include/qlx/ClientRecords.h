/* The records of the messaging library's client side: a request to send to a
 * service element, and one reply received from it. */
#ifndef QLX_CLIENTRECORDS_H
#define QLX_CLIENTRECORDS_H

#include <cstddef>
#include <cstdint>

#include "qlx/ServiceRecords.h"

extern "C" {

/* A transaction or datagram to send. */
struct QLXREQUEST {
    char StrucId[4];                 /* "FXRQ" */
    int32_t Version;                 /* 1 */
    int32_t MsgType;                 /* QLX_MSGTYPE_TRANSACTION or QLX_MSGTYPE_DATAGRAM */
    uint32_t Options;                /* QLX_RQO_* bits */
    uint64_t RequestId;              /* echoed by every reply to a transaction */
    uint8_t MsgId[QLX_MSGID_LENGTH]; /* sent with QLX_RQO_MSGID */
    uint32_t DataLength;             /* data bytes at Data */
    uint32_t Reserved;
    const char *Data;
};

/* One reply from the service. Data points into a library buffer that stays
 * valid until the next receive on the same connection. */
struct QLXREPLY {
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
};

enum : uint32_t {
    QLX_RQO_MSGID = 0x1, /* send MsgId with the request */
};

/* The most data a service takes in one request: a transaction with more is
 * refused (QLXRC_DATA_TOO_LARGE), a datagram with more dropped. */
enum : uint32_t { QLX_MAX_DATA_LENGTH = 1u << 20 };

enum : int32_t {
    QLX_REPLY_RESPONSE = 'R', /* one response */
    QLX_REPLY_END = 'E',      /* the transaction was closed without a response */
    QLX_REPLY_ALERT = 'A',    /* an alert; Code is its type, Data its text */
    QLX_REPLY_REFUSED = 'N',  /* the message was refused; Code is the reason */
    /* Only to a reply record of version 2: the service went away (it closed
     * the connection, or over NATS nobody serves the element any more).
     * Nothing outstanding then will be answered by it; RequestId is 0. */
    QLX_REPLY_GONE = 'G',
};

enum : int32_t { QLX_REPLY_VERSION_GONE = 2 }; /* the reply version that is told QLX_REPLY_GONE */

enum : uint32_t {
    QLX_RF_NOTIFY = 0x1, /* a notify response */
    QLX_RF_MORE = 0x2,   /* more responses follow */
};

/* What a service has done so far, for monitoring and tests. Version 1 of the
 * record ends before TransportDropped; each later version only adds at the end. */
struct QLXSTATS {
    char StrucId[4];           /* "FXST" */
    int32_t Version;           /* 2 */
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
};

enum : int32_t { QLX_STATS_VERSION_1_SIZE = 88 }; /* the bytes of a version 1 record */

} /* extern "C" */

static_assert(sizeof(QLXREQUEST) == 64);
static_assert(offsetof(QLXREQUEST, RequestId) == 16);
static_assert(offsetof(QLXREQUEST, MsgId) == 24);
static_assert(offsetof(QLXREQUEST, DataLength) == 48);
static_assert(offsetof(QLXREQUEST, Data) == 56);
static_assert(sizeof(QLXREPLY) == 72);
static_assert(offsetof(QLXREPLY, RequestId) == 24);
static_assert(offsetof(QLXREPLY, MsgId) == 32);
static_assert(offsetof(QLXREPLY, DataLength) == 56);
static_assert(offsetof(QLXREPLY, Data) == 64);
static_assert(offsetof(QLXSTATS, Transactions) == 8);
static_assert(offsetof(QLXSTATS, BuffersReleased) == 80);
static_assert(offsetof(QLXSTATS, TransportDropped) == QLX_STATS_VERSION_1_SIZE);
static_assert(offsetof(QLXSTATS, KeysRefused) == 96);
static_assert(sizeof(QLXSTATS) == 104);

/* The default images every record starts from. */
inline constexpr QLXREQUEST DefaultRequest = {
    {'F', 'X', 'R', 'Q'}, 1, QLX_MSGTYPE_TRANSACTION, 0, 0, {}, 0, 0, nullptr,
};

inline constexpr QLXREPLY DefaultReply = {
    {'F', 'X', 'R', 'P'}, 1, 0, 0, 0, 0, 0, {}, 0, 0, nullptr,
};

inline constexpr QLXSTATS DefaultStats = {
    {'F', 'X', 'S', 'T'}, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

#endif
