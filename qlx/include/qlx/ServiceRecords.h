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

#include <cstddef>
#include <cstdint>

extern "C" {

typedef uint32_t QLXHCONN; /* connection handle, opaque */
typedef uint32_t QLXHREQ;  /* request handle, opaque */

enum { QLX_NAME_LENGTH = 132, QLX_MSGID_LENGTH = 24 };

/* Names the service element to open. */
struct QLXSERVICEADDRESS {
    char StrucId[4];            /* "FXAD" */
    int32_t Version;            /* 3 */
    char Name[QLX_NAME_LENGTH]; /* element name; need not be terminated */
    uint8_t Reserved[280];
};

/* The buffer descriptor of a message record: what qlxFreeBuffer receives. */
struct QLXBUFFER {
    int32_t BufferOwned; /* 1 = still to be released with a null connection handle */
    uint32_t BufferSize; /* capacity of the buffer at Data */
    char *Data;          /* zero-terminated message text */
};

/* A received message and, changed by the server, its reply. */
struct QLXMESSAGE {
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
};

/* Steers qlxGetRequest. */
struct QLXGETOPTIONS {
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
};

/* Steers qlxPutResponse. */
struct QLXPUTOPTIONS {
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
};

/* An alert to the client of the transaction being handled. */
struct QLXALERT {
    char StrucId[4];      /* "LXLD" */
    int32_t Version;      /* 1 */
    int32_t Reserved1;    /* 0 */
    int32_t AlertType;    /* 4 by default; the server sends 0 */
    const char *Text;     /* zero-terminated alert text */
    int32_t Reserved2[4]; /* 0 */
};

/* Reception option bits. */
enum : uint32_t {
    QLX_GMO_MSGID = 0x1,         /* deliver only messages whose message id equals MsgId */
    QLX_GMO_BASE = 0x108,        /* the value the server starts Options with */
    QLX_GMO_WAIT = 0x40,         /* wait up to WaitInterval (this library always does) */
    QLX_GMO_STOPPABLE = 0x20000, /* report a stop request in Status (always done) */
};

/* Response option bits. */
enum : uint32_t {
    QLX_PMO_MSGID = 0x1,    /* send MsgId with the response */
    QLX_PMO_MORE = 0x40,    /* more responses follow for the same request */
    QLX_PMO_NOTIFY = 0x800, /* a notify response */
    QLX_PMO_DEFAULT = 0x40000000,
};

enum : uint32_t {
    QLX_STATUS_STOP = 0x1, /* GetOptions.Status: the application manager asked to stop */
};

enum : int32_t {
    QLX_MSGTYPE_TRANSACTION = 1,
    QLX_MSGTYPE_DATAGRAM = 2,
};

} /* extern "C" */

static_assert(sizeof(QLXSERVICEADDRESS) == 420);
static_assert(offsetof(QLXSERVICEADDRESS, Version) == 4);
static_assert(offsetof(QLXSERVICEADDRESS, Name) == 8);

static_assert(sizeof(QLXBUFFER) == 16);
static_assert(offsetof(QLXBUFFER, BufferSize) == 4);
static_assert(offsetof(QLXBUFFER, Data) == 8);

static_assert(sizeof(QLXMESSAGE) == 904);
static_assert(offsetof(QLXMESSAGE, Version) == 4);
static_assert(offsetof(QLXMESSAGE, MsgType) == 8);
static_assert(offsetof(QLXMESSAGE, Reserved1) == 12);
static_assert(offsetof(QLXMESSAGE, DataLength) == 92);
static_assert(offsetof(QLXMESSAGE, Buffer) == 96);
static_assert(offsetof(QLXMESSAGE, Buffer) + offsetof(QLXBUFFER, BufferSize) == 100);
static_assert(offsetof(QLXMESSAGE, Buffer) + offsetof(QLXBUFFER, Data) == 104);
static_assert(offsetof(QLXMESSAGE, Reserved4) == 124);

static_assert(sizeof(QLXGETOPTIONS) == 376);
static_assert(offsetof(QLXGETOPTIONS, Options) == 8);
static_assert(offsetof(QLXGETOPTIONS, WaitInterval) == 12);
static_assert(offsetof(QLXGETOPTIONS, MsgId) == 20);
static_assert(offsetof(QLXGETOPTIONS, ProfileName) == 88);
static_assert(offsetof(QLXGETOPTIONS, Status) == 364);

static_assert(sizeof(QLXPUTOPTIONS) == 380);
static_assert(offsetof(QLXPUTOPTIONS, Options) == 8);
static_assert(offsetof(QLXPUTOPTIONS, MsgId) == 16);
static_assert(offsetof(QLXPUTOPTIONS, ProfileName) == 80);
static_assert(offsetof(QLXPUTOPTIONS, Reserved4) == 368);

static_assert(sizeof(QLXALERT) == 40);
static_assert(offsetof(QLXALERT, Reserved1) == 8);
static_assert(offsetof(QLXALERT, AlertType) == 12);
static_assert(offsetof(QLXALERT, Text) == 16);
static_assert(offsetof(QLXALERT, Reserved2) == 24);

/* The default images every record starts from. */
inline constexpr QLXSERVICEADDRESS DefaultServiceAddress = {{'F', 'X', 'A', 'D'}, 3, {}, {}};

inline constexpr QLXMESSAGE DefaultMessageRecord = {
    {'F', 'X', 'M', 'D'}, 3, 0, {-2, -2, -2, -2, -2, -2, -2}, {}, 0, {0, 0, nullptr}, {}, -1, {},
};

inline constexpr QLXGETOPTIONS DefaultGetOptions = {
    {'F', 'X', 'G', 'O'}, 3, 0x40000000u, -2, {}, {}, {}, {}, {}, 0, {},
};

inline constexpr QLXPUTOPTIONS DefaultPutOptions = {
    {'F', 'X', 'P', 'O'}, 3, QLX_PMO_DEFAULT, {}, {}, {}, {}, {}, 0x00200000u, {},
};

inline constexpr QLXALERT DefaultAlertRecord = {{'L', 'X', 'L', 'D'}, 1, 0, 4, nullptr,
                                                {0, 0, 0, 0}};

#endif
