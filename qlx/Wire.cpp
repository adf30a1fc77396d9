#include "qlx/Wire.h"

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

static void PutLittle(uint8_t *out, uint64_t value, size_t bytes)
{
    for (size_t i = 0; i < bytes; ++i)
        out[i] = static_cast<uint8_t>(value >> (8 * i));
}

static uint64_t GetLittle(const uint8_t *in, size_t bytes)
{
    uint64_t value = 0;
    for (size_t i = 0; i < bytes; ++i)
        value |= uint64_t{in[i]} << (8 * i);
    return value;
}

void EncodeHeader(const Header &header, uint8_t out[HeaderSize])
{
    out[0] = header.Version;
    out[1] = header.Kind;
    PutLittle(out + 2, header.Flags, 2);
    PutLittle(out + 4, static_cast<uint32_t>(header.Code), 4);
    PutLittle(out + 8, header.RequestId, 8);
}

Header DecodeHeader(const uint8_t in[HeaderSize])
{
    Header header{};
    header.Version = in[0];
    header.Kind = in[1];
    header.Flags = static_cast<uint16_t>(GetLittle(in + 2, 2));
    header.Code = static_cast<int32_t>(static_cast<uint32_t>(GetLittle(in + 4, 4)));
    header.RequestId = GetLittle(in + 8, 8);
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
