/* The fixed-layout records that the server exchanges with the messaging
 * library, their default images and the option bits.
 *
 * The layouts are shared with the library byte for byte. Integers are 32 bits
 * in host byte order. On this 64-bit platform the two pointer fields are 8
 * bytes wide and 8-aligned:
 *   - MessageRecord.Buffer.Data sits at offset 104 and takes bytes 104-111,
 *     reserved zero bytes in the 32-bit layout, so every other offset and the
 *     record size (904) stay as they are;
 *   - AlertRecord.Text sits at offset 16 and takes bytes 16-23; the four
 *     reserved words behind it move to offsets 24-39 and the record grows from
 *     36 to 40 bytes.
 * Every byte the tables below do not name is zero in the default image. */
#ifndef QLX_SERVICERECORDS_H
#define QLX_SERVICERECORDS_H

#include <stddef.h>
#include <stdint.h>

#include "qlx/Portable.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t QLXHCONN; /* connection handle, opaque */
typedef uint32_t QLXHREQ;  /* request handle, opaque */

#define QLX_NAME_LENGTH  132
#define QLX_MSGID_LENGTH 24

/* Names the service element to open. */
typedef struct QLXSERVICEADDRESS {
    char StrucId[4];            /* "FXAD" */
    int32_t Version;            /* 3 */
    char Name[QLX_NAME_LENGTH]; /* element name; need not be terminated */
    uint8_t Reserved[280];
} QLXSERVICEADDRESS;

/* The buffer descriptor of a message record: what qlxFreeBuffer receives. */
typedef struct QLXBUFFER {
    int32_t BufferOwned; /* 1 = still to be released with a null connection handle */
    uint32_t BufferSize; /* capacity of the buffer at Data */
    char *Data;          /* zero-terminated message text */
} QLXBUFFER;

/* A received message and, changed by the server, its reply. */
typedef struct QLXMESSAGE {
    char StrucId[4];      /* "FXMD" */
    int32_t Version;      /* 3 */
    int32_t MsgType;      /* 1 = transaction; anything else = datagram */
    int32_t Reserved1[7]; /* -2 each */
    uint8_t Reserved2[52];
    uint32_t DataLength; /* data bytes in the message */
    QLXBUFFER Buffer;    /* offsets 96 to 111 */
    uint8_t Reserved3[12];
    int32_t Reserved4; /* -1 */
    uint8_t Reserved5[776];
} QLXMESSAGE;

/* Steers qlxGetRequest. */
typedef struct QLXGETOPTIONS {
    char StrucId[4];      /* "FXGO" */
    int32_t Version;      /* 3 */
    uint32_t Options;     /* QLX_GMO_* bits */
    int32_t WaitInterval; /* ms one call waits; negative = no limit */
    uint8_t Reserved1[4];
    uint8_t MsgId[QLX_MSGID_LENGTH]; /* message id to wait for, with QLX_GMO_MSGID */
    uint8_t Reserved2[44];
    char ProfileName[QLX_NAME_LENGTH];
    uint8_t Reserved3[144];
    uint32_t Status; /* QLX_STATUS_STOP once a stop was requested */
    uint8_t Reserved4[8];
} QLXGETOPTIONS;

/* Steers qlxPutResponse. */
typedef struct QLXPUTOPTIONS {
    char StrucId[4];  /* "FXPO" */
    int32_t Version;  /* 3 */
    uint32_t Options; /* QLX_PMO_* bits */
    uint8_t Reserved1[4];
    uint8_t MsgId[QLX_MSGID_LENGTH]; /* message id sent, with QLX_PMO_MSGID */
    uint8_t Reserved2[40];
    char ProfileName[QLX_NAME_LENGTH];
    uint8_t Reserved3[156];
    uint32_t Reserved4; /* 0x00200000 */
    uint8_t Reserved5[8];
} QLXPUTOPTIONS;

/* An alert to the client of the transaction being handled. */
typedef struct QLXALERT {
    char StrucId[4];      /* "LXLD" */
    int32_t Version;      /* 1 */
    int32_t Reserved1;    /* 0 */
    int32_t AlertType;    /* 4 by default; the server sends 0 */
    const char *Text;     /* zero-terminated alert text */
    int32_t Reserved2[4]; /* 0 */
} QLXALERT;

/* Reception option bits; unsigned, as the Options word they go in. */
#define QLX_GMO_MSGID     0x1u     /* deliver only messages whose message id equals MsgId */
#define QLX_GMO_BASE      0x108u   /* the value the server starts Options with */
#define QLX_GMO_WAIT      0x40u    /* wait up to WaitInterval (this library always does) */
#define QLX_GMO_STOPPABLE 0x20000u /* report a stop request in Status (always done) */

/* Response option bits. */
#define QLX_PMO_MSGID   0x1u   /* send MsgId with the response */
#define QLX_PMO_MORE    0x40u  /* more responses follow for the same request */
#define QLX_PMO_NOTIFY  0x800u /* a notify response */
#define QLX_PMO_DEFAULT 0x40000000u

#define QLX_STATUS_STOP 0x1u /* GetOptions.Status: the application manager asked to stop */

enum {
    QLX_MSGTYPE_TRANSACTION = 1,
    QLX_MSGTYPE_DATAGRAM = 2,
};

/* The default images every record starts from, as initializers
 * (QLXMESSAGE message = QLX_DEFAULT_MESSAGE;); kept as written, since
 * clang-format would set their braces out as blocks. */
/* clang-format off */
#define QLX_DEFAULT_SERVICE_ADDRESS {{'F', 'X', 'A', 'D'}, 3, {0}, {0}}
#define QLX_DEFAULT_MESSAGE \
    {{'F', 'X', 'M', 'D'}, 3, 0, {-2, -2, -2, -2, -2, -2, -2}, {0}, 0, {0, 0, NULL}, {0}, -1, {0}}
#define QLX_DEFAULT_GET_OPTIONS \
    {{'F', 'X', 'G', 'O'}, 3, 0x40000000u, -2, {0}, {0}, {0}, {0}, {0}, 0, {0}}
#define QLX_DEFAULT_PUT_OPTIONS \
    {{'F', 'X', 'P', 'O'}, 3, QLX_PMO_DEFAULT, {0}, {0}, {0}, {0}, {0}, 0x00200000u, {0}}
#define QLX_DEFAULT_ALERT {{'L', 'X', 'L', 'D'}, 1, 0, 4, NULL, {0, 0, 0, 0}}
/* clang-format on */

#ifdef __cplusplus
} /* extern "C" */
#endif

QLX_LAYOUT(sizeof(QLXSERVICEADDRESS) == 420);
QLX_LAYOUT(offsetof(QLXSERVICEADDRESS, Version) == 4);
QLX_LAYOUT(offsetof(QLXSERVICEADDRESS, Name) == 8);

QLX_LAYOUT(sizeof(QLXBUFFER) == 16);
QLX_LAYOUT(offsetof(QLXBUFFER, BufferSize) == 4);
QLX_LAYOUT(offsetof(QLXBUFFER, Data) == 8);

QLX_LAYOUT(sizeof(QLXMESSAGE) == 904);
QLX_LAYOUT(offsetof(QLXMESSAGE, Version) == 4);
QLX_LAYOUT(offsetof(QLXMESSAGE, MsgType) == 8);
QLX_LAYOUT(offsetof(QLXMESSAGE, Reserved1) == 12);
QLX_LAYOUT(offsetof(QLXMESSAGE, DataLength) == 92);
QLX_LAYOUT(offsetof(QLXMESSAGE, Buffer) == 96);
QLX_LAYOUT(offsetof(QLXMESSAGE, Buffer) + offsetof(QLXBUFFER, BufferSize) == 100);
QLX_LAYOUT(offsetof(QLXMESSAGE, Buffer) + offsetof(QLXBUFFER, Data) == 104);
QLX_LAYOUT(offsetof(QLXMESSAGE, Reserved4) == 124);

QLX_LAYOUT(sizeof(QLXGETOPTIONS) == 376);
QLX_LAYOUT(offsetof(QLXGETOPTIONS, Options) == 8);
QLX_LAYOUT(offsetof(QLXGETOPTIONS, WaitInterval) == 12);
QLX_LAYOUT(offsetof(QLXGETOPTIONS, MsgId) == 20);
QLX_LAYOUT(offsetof(QLXGETOPTIONS, ProfileName) == 88);
QLX_LAYOUT(offsetof(QLXGETOPTIONS, Status) == 364);

QLX_LAYOUT(sizeof(QLXPUTOPTIONS) == 380);
QLX_LAYOUT(offsetof(QLXPUTOPTIONS, Options) == 8);
QLX_LAYOUT(offsetof(QLXPUTOPTIONS, MsgId) == 16);
QLX_LAYOUT(offsetof(QLXPUTOPTIONS, ProfileName) == 80);
QLX_LAYOUT(offsetof(QLXPUTOPTIONS, Reserved4) == 368);

QLX_LAYOUT(sizeof(QLXALERT) == 40);
QLX_LAYOUT(offsetof(QLXALERT, Reserved1) == 8);
QLX_LAYOUT(offsetof(QLXALERT, AlertType) == 12);
QLX_LAYOUT(offsetof(QLXALERT, Text) == 16);
QLX_LAYOUT(offsetof(QLXALERT, Reserved2) == 24);

#endif
