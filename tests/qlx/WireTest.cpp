#include "qlx/core/Wire.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/RawPeer.h"

namespace {

using qlx::Direction;
using qlx::Fault;

std::string Bytes(const uint8_t *data, size_t size)
{
    return std::string(reinterpret_cast<const char *>(data), size);
}

/* The header is version, kind, flags, code and request id, little-endian. */
TEST(Wire, EncodesTheWholeHeaderLittleEndian)
{
    uint8_t out[qlx::HeaderSize];
    qlx::EncodeHeader(qlx::Header{1, 'R', 0x0203, -2, 0x1122334455667788ull}, out);
    const uint8_t expected[qlx::HeaderSize] = {0x01, 'R',  0x03, 0x02, 0xFE, 0xFF, 0xFF, 0xFF,
                                               0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
    EXPECT_EQ(Bytes(out, sizeof out), Bytes(expected, sizeof expected));
}

/* The test support writes the same header bytes as the library. */
TEST(Wire, EncodesAsTheTestPeerWrites)
{
    uint8_t out[qlx::HeaderSize];
    qlx::EncodeHeader(qlx::Header{1, 'T', 0, 0x7FFFFFFF, 42}, out);
    EXPECT_EQ(Bytes(out, sizeof out), tfxtest::WireHeader(1, 'T', 0, 0x7FFFFFFF, 42));
}

/* Decoding gives back every field that was encoded, the sign of code too. */
TEST(Wire, DecodesWhatItEncodes)
{
    const qlx::Header header{1, 'A', 0xFFFF, INT32_MIN, 0xFFFFFFFFFFFFFFFFull};
    uint8_t out[qlx::HeaderSize];
    qlx::EncodeHeader(header, out);
    qlx::Header back = qlx::DecodeHeader(out);
    EXPECT_EQ(back.Version, header.Version);
    EXPECT_EQ(back.Kind, header.Kind);
    EXPECT_EQ(back.Flags, header.Flags);
    EXPECT_EQ(back.Code, header.Code);
    EXPECT_EQ(back.RequestId, header.RequestId);
}

/* A message as frames of text, decoded in one direction. */
struct Shape {
    const char *Name;
    std::vector<std::string> Frames;
    Direction Way;
    Fault Expected;
};

std::ostream &operator<<(std::ostream &out, const Shape &shape)
{
    return out << shape.Name;
}

const std::string NoId;
const std::string Id24(24, 'I');
const std::string Transaction = tfxtest::WireHeader(1, 'T', 0, 0, 7);

std::vector<Shape> Shapes()
{
    using tfxtest::WireHeader;
    return {
        {"Transaction", {Transaction, NoId, "data"}, Direction::ToService, Fault::None},
        {"TransactionWithId", {Transaction, Id24, ""}, Direction::ToService, Fault::None},
        {"Datagram", {WireHeader(1, 'D', 0, 0, 0), NoId, "x"}, Direction::ToService, Fault::None},
        {"Stop", {WireHeader(1, 'S', 0, 0, 0), NoId, ""}, Direction::ToService, Fault::None},
        {"Response", {WireHeader(1, 'R', 3, 0, 7), Id24, "r"}, Direction::ToClient, Fault::None},
        {"End", {WireHeader(1, 'E', 0, 0, 7), NoId, ""}, Direction::ToClient, Fault::None},
        {"Alert", {WireHeader(1, 'A', 0, 4, 7), NoId, "a"}, Direction::ToClient, Fault::None},
        {"Refusal", {WireHeader(1, 'N', 0, 50, 7), NoId, ""}, Direction::ToClient, Fault::None},
        {"NoFrames", {}, Direction::ToService, Fault::FrameCount},
        {"OneFrame", {Transaction}, Direction::ToService, Fault::FrameCount},
        {"TwoFrames", {Transaction, NoId}, Direction::ToService, Fault::FrameCount},
        {"FourFrames", {Transaction, NoId, "", ""}, Direction::ToService, Fault::FrameCount},
        {"EmptyHeader", {"", NoId, ""}, Direction::ToService, Fault::HeaderLength},
        {"ShortHeader",
         {Transaction.substr(0, 15), NoId, ""},
         Direction::ToService,
         Fault::HeaderLength},
        {"LongHeader", {Transaction + "x", NoId, ""}, Direction::ToService, Fault::HeaderLength},
        {"VersionZero",
         {WireHeader(0, 'T', 0, 0, 7), NoId, ""},
         Direction::ToService,
         Fault::Version},
        {"VersionTwo",
         {WireHeader(2, 'T', 0, 0, 7), NoId, ""},
         Direction::ToService,
         Fault::Version},
        {"UnknownKind", {WireHeader(1, 'X', 0, 0, 7), NoId, ""}, Direction::ToService, Fault::Kind},
        {"LowerCaseKind",
         {WireHeader(1, 't', 0, 0, 7), NoId, ""},
         Direction::ToService,
         Fault::Kind},
        {"ResponseToService",
         {WireHeader(1, 'R', 0, 0, 7), NoId, ""},
         Direction::ToService,
         Fault::Kind},
        {"TransactionToClient", {Transaction, NoId, ""}, Direction::ToClient, Fault::Kind},
        {"MsgIdOfOne", {Transaction, "I", ""}, Direction::ToService, Fault::MsgIdLength},
        {"MsgIdOf23", {Transaction, Id24.substr(1), ""}, Direction::ToService, Fault::MsgIdLength},
        {"MsgIdOf25", {Transaction, Id24 + "I", ""}, Direction::ToService, Fault::MsgIdLength},
        {"StopWithMsgId",
         {WireHeader(1, 'S', 0, 0, 0), Id24, ""},
         Direction::ToService,
         Fault::StopContent},
        {"StopWithData",
         {WireHeader(1, 'S', 0, 0, 0), NoId, "x"},
         Direction::ToService,
         Fault::StopContent},
    };
}

class WireShapes : public testing::TestWithParam<Shape> {};

/* Each shape decodes to its fault, or to the message it holds when valid. */
TEST_P(WireShapes, DecodeToTheirFault)
{
    const Shape &shape = GetParam();
    std::vector<qlx::Frame> frames;
    for (const std::string &frame : shape.Frames)
        frames.push_back({reinterpret_cast<const uint8_t *>(frame.data()), frame.size()});
    qlx::WireMessage message{};
    Fault fault = qlx::DecodeMessage(frames.data(), frames.size(), shape.Way, &message);
    ASSERT_EQ(fault, shape.Expected) << qlx::FaultName(fault);
    if (fault != Fault::None)
        return;
    EXPECT_EQ(message.Head.Kind, static_cast<uint8_t>(shape.Frames[0][1]));
    EXPECT_EQ(Bytes(message.MsgId.Data, message.MsgId.Size), shape.Frames[1]);
    EXPECT_EQ(Bytes(message.Data.Data, message.Data.Size), shape.Frames[2]);
}

INSTANTIATE_TEST_SUITE_P(Wire, WireShapes, testing::ValuesIn(Shapes()),
                         [](const testing::TestParamInfo<Shape> &info) {
                             return std::string(info.param.Name);
                         });

/* Every fault has a name of its own for the texts that report it. */
TEST(Wire, NamesEveryFault)
{
    const std::vector<std::pair<Fault, std::string>> names = {
        {Fault::None, "valid"},
        {Fault::FrameCount, "frame count is not 3"},
        {Fault::HeaderLength, "header is not 16 bytes"},
        {Fault::Version, "protocol version is not 1"},
        {Fault::Kind, "kind not carried in this direction"},
        {Fault::MsgIdLength, "message id is neither empty nor 24 bytes"},
        {Fault::StopContent, "stop request carries a message id or data"},
    };
    for (const auto &[fault, name] : names)
        EXPECT_EQ(qlx::FaultName(fault), name);
}

} // namespace
