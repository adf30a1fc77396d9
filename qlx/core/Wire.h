/* The QLX/1 wire protocol: three frames a message (header, message id, data),
 * the header 16 bytes little-endian: version u8, kind u8, flags u16, code i32,
 * request id u64. Pure functions, no transport. */
#ifndef TFX_QLX_WIRE_H
#define TFX_QLX_WIRE_H

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qlx {

enum : uint8_t { ProtocolVersion = 1 };
enum : size_t { HeaderSize = 16, MsgIdSize = 24, FramesPerMessage = 3 };

/* Message kinds. */
enum : uint8_t {
    KindTransaction = 'T', /* client to service: expects responses */
    KindDatagram = 'D',    /* client to service: no reply */
    KindStop = 'S',        /* client to service: the application manager's stop request */
    KindResponse = 'R',    /* service to client: one response */
    KindEnd = 'E',         /* service to client: closed without a response */
    KindAlert = 'A',       /* service to client: an alert */
    KindRefused = 'N',     /* service to client: the message was refused */
};

/* Response flags. */
enum : uint16_t { FlagNotify = 0x1, FlagMore = 0x2 };

struct Header {
    uint8_t Version;
    uint8_t Kind;
    uint16_t Flags;
    int32_t Code;
    uint64_t RequestId;
};

struct Frame {
    const uint8_t *Data;
    size_t Size;
};

/* A frame's bytes as text, and text as a frame's bytes. */
inline std::string_view AsText(Frame frame)
{
    return {reinterpret_cast<const char *>(frame.Data), frame.Size};
}
inline Frame AsFrame(std::string_view text)
{
    return Frame{reinterpret_cast<const uint8_t *>(text.data()), text.size()};
}

/* A decoded message; MsgId and Data point into the frames. */
struct WireMessage {
    Header Head;
    Frame MsgId; /* empty or MsgIdSize bytes */
    Frame Data;
};

/* Which way a message travels: each side accepts only the other's kinds. */
enum class Direction { ToService, ToClient };

/* Why a received message is not a QLX/1 message. */
enum class Fault {
    None,
    FrameCount,   /* not exactly three frames */
    HeaderLength, /* header frame not 16 bytes */
    Version,      /* version not 1 */
    Kind,         /* a kind that this direction does not carry */
    MsgIdLength,  /* message id neither empty nor 24 bytes */
    StopContent,  /* a stop request with a message id or data */
};

/* The one-line name of a fault, for texts and tests. */
const char *FaultName(Fault fault);

/* Writes header into out, 16 bytes. */
void EncodeHeader(const Header &header, uint8_t out[HeaderSize]);

/* Reads a 16-byte header. */
Header DecodeHeader(const uint8_t in[HeaderSize]);

/* Decodes count frames travelling in direction; on success fills *message.
 * Returns the first fault found, Fault::None for a valid message. */
Fault DecodeMessage(const Frame *frames, size_t count, Direction direction, WireMessage *message);

} // namespace qlx

#endif
