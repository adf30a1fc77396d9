/* Decoding of received QLX/1 messages: a valid message re-encodes to the
 * bytes it came as; an invalid one is refused with one stable cause. */
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzInput.h"
#include "qlx/core/Wire.h"

static void Check(bool condition)
{
    if (!condition)
        abort();
}

/* Input: frame count, then each frame as a 16-bit length and its bytes. */
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input{data, size};
    size_t count = input.TakeByte();
    std::vector<std::string> bytes;
    for (size_t i = 0; i < count; ++i)
        bytes.push_back(input.TakeBytes(input.TakeU16()));
    std::vector<qlx::Frame> frames;
    for (const std::string &frame : bytes)
        frames.push_back(qlx::Frame{reinterpret_cast<const uint8_t *>(frame.data()), frame.size()});

    for (qlx::Direction direction : {qlx::Direction::ToService, qlx::Direction::ToClient}) {
        qlx::WireMessage message{};
        qlx::Fault fault = qlx::DecodeMessage(frames.data(), frames.size(), direction, &message);
        qlx::WireMessage again{};
        Check(qlx::DecodeMessage(frames.data(), frames.size(), direction, &again) == fault);
        Check(std::strlen(qlx::FaultName(fault)) > 0);
        if (fault != qlx::Fault::None)
            continue;
        uint8_t header[qlx::HeaderSize];
        qlx::EncodeHeader(message.Head, header);
        Check(std::memcmp(header, frames[0].Data, qlx::HeaderSize) == 0);
        Check(message.MsgId.Data == frames[1].Data && message.MsgId.Size == frames[1].Size);
        Check(message.Data.Data == frames[2].Data && message.Data.Size == frames[2].Size);
        Check(message.MsgId.Size == 0 || message.MsgId.Size == qlx::MsgIdSize);
    }
    return 0;
}
