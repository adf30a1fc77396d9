#include "qlx/core/Wire.h"

#include <bit>
#include <cstring>

namespace qlx {

const char *FaultName(Fault fault)
{
    switch (fault) {
    case Fault::None:
        return "valid";
    case Fault::FrameCount:
        return "frame count is not 3";
    case Fault::HeaderLength:
        return "header is not 16 bytes";
    case Fault::Version:
        return "protocol version is not 1";
    case Fault::Kind:
        return "kind not carried in this direction";
    case Fault::MsgIdLength:
        return "message id is neither empty nor 24 bytes";
    case Fault::StopContent:
        return "stop request carries a message id or data";
    }
    return "unknown fault";
}

/* Fields travel little-endian: on this host a plain copy, elsewhere swapped. */
template <typename T> static T Little(T value)
{
    if constexpr (std::endian::native == std::endian::little || sizeof(T) == 1)
        return value;
    else if constexpr (sizeof(T) == 2)
        return static_cast<T>(__builtin_bswap16(value));
    else if constexpr (sizeof(T) == 4)
        return static_cast<T>(__builtin_bswap32(value));
    else
        return static_cast<T>(__builtin_bswap64(value));
}

template <typename T> static void Put(uint8_t *out, T value)
{
    value = Little(value);
    memcpy(out, &value, sizeof value);
}

template <typename T> static T Get(const uint8_t *in)
{
    T value;
    memcpy(&value, in, sizeof value);
    return Little(value);
}

void EncodeHeader(const Header &header, uint8_t out[HeaderSize])
{
    out[0] = header.Version;
    out[1] = header.Kind;
    Put(out + 2, header.Flags);
    Put(out + 4, header.Code);
    Put(out + 8, header.RequestId);
}

Header DecodeHeader(const uint8_t in[HeaderSize])
{
    Header header{};
    header.Version = in[0];
    header.Kind = in[1];
    header.Flags = Get<uint16_t>(in + 2);
    header.Code = Get<int32_t>(in + 4);
    header.RequestId = Get<uint64_t>(in + 8);
    return header;
}

static bool KindTravels(uint8_t kind, Direction direction)
{
    if (direction == Direction::ToService)
        return kind == KindTransaction || kind == KindDatagram || kind == KindStop;
    return kind == KindResponse || kind == KindEnd || kind == KindAlert || kind == KindRefused;
}

Fault DecodeMessage(const Frame *frames, size_t count, Direction direction, WireMessage *message)
{
    if (count != FramesPerMessage)
        return Fault::FrameCount;
    if (frames[0].Size != HeaderSize)
        return Fault::HeaderLength;
    Header header = DecodeHeader(frames[0].Data);
    if (header.Version != ProtocolVersion)
        return Fault::Version;
    if (!KindTravels(header.Kind, direction))
        return Fault::Kind;
    if (frames[1].Size != 0 && frames[1].Size != MsgIdSize)
        return Fault::MsgIdLength;
    if (header.Kind == KindStop && (frames[1].Size != 0 || frames[2].Size != 0))
        return Fault::StopContent;
    message->Head = header;
    message->MsgId = frames[1];
    message->Data = frames[2];
    return Fault::None;
}

} // namespace qlx
