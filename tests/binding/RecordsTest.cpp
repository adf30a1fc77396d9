#include "binding/ServiceRecords.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "binding/ClientRecords.h"
#include "binding/ErrorRecord.h"
#include "binding/RecordPreparation.h"

namespace {

/* A record's bytes. */
template <typename Record> std::string Bytes(const Record &record)
{
    return std::string(reinterpret_cast<const char *>(&record), sizeof record);
}

/* An expected image: zero bytes, with texts and words put at offsets. */
class Image {
  public:
    explicit Image(size_t size) : bytes_(size, '\0') {}
    Image &Text(size_t offset, const std::string &text)
    {
        bytes_.replace(offset, text.size(), text);
        return *this;
    }
    Image &Word(size_t offset, uint32_t word)
    {
        memcpy(&bytes_[offset], &word, sizeof word);
        return *this;
    }
    Image &Pointer(size_t offset, const void *pointer)
    {
        memcpy(&bytes_[offset], &pointer, sizeof pointer);
        return *this;
    }
    const std::string &Bytes() const { return bytes_; }

  private:
    std::string bytes_;
};

Image ServiceAddressImage()
{
    return Image(420).Text(0, "FXAD").Word(4, 3);
}

Image MessageRecordImage()
{
    Image image(904);
    image.Text(0, "FXMD").Word(4, 3).Word(124, 0xFFFFFFFFu);
    for (size_t word = 0; word < 7; ++word)
        image.Word(12 + 4 * word, 0xFFFFFFFEu);
    return image;
}

Image GetOptionsImage()
{
    return Image(376).Text(0, "FXGO").Word(4, 3).Word(8, 0x40000000u).Word(12, 0xFFFFFFFEu);
}

Image PutOptionsImage()
{
    return Image(380).Text(0, "FXPO").Word(4, 3).Word(8, 0x40000000u).Word(368, 0x00200000u);
}

Image AlertImage()
{
    return Image(40).Text(0, "LXLD").Word(4, 1).Word(12, 4);
}

/* Each default image, byte for byte. */
TEST(Records, ServiceAddressDefaultImage)
{
    EXPECT_EQ(Bytes(DefaultServiceAddress), ServiceAddressImage().Bytes());
}

TEST(Records, MessageRecordDefaultImage)
{
    EXPECT_EQ(Bytes(DefaultMessageRecord), MessageRecordImage().Bytes());
}

TEST(Records, GetOptionsDefaultImage)
{
    EXPECT_EQ(Bytes(DefaultGetOptions), GetOptionsImage().Bytes());
}

TEST(Records, PutOptionsDefaultImage)
{
    EXPECT_EQ(Bytes(DefaultPutOptions), PutOptionsImage().Bytes());
}

TEST(Records, AlertRecordDefaultImage)
{
    EXPECT_EQ(Bytes(DefaultAlertRecord), AlertImage().Bytes());
}

/* The fields sit at their fixed offsets, pointers widened in place. */
TEST(Records, FieldsSitAtTheirOffsets)
{
    EXPECT_EQ(offsetof(QLXSERVICEADDRESS, Name), 8u);
    EXPECT_EQ(offsetof(QLXMESSAGE, MsgType), 8u);
    EXPECT_EQ(offsetof(QLXMESSAGE, DataLength), 92u);
    EXPECT_EQ(offsetof(QLXMESSAGE, Buffer), 96u);
    EXPECT_EQ(offsetof(QLXMESSAGE, Buffer) + offsetof(QLXBUFFER, BufferSize), 100u);
    EXPECT_EQ(offsetof(QLXMESSAGE, Buffer) + offsetof(QLXBUFFER, Data), 104u);
    EXPECT_EQ(offsetof(QLXMESSAGE, Reserved4), 124u);
    EXPECT_EQ(offsetof(QLXGETOPTIONS, WaitInterval), 12u);
    EXPECT_EQ(offsetof(QLXGETOPTIONS, MsgId), 20u);
    EXPECT_EQ(offsetof(QLXGETOPTIONS, ProfileName), 88u);
    EXPECT_EQ(offsetof(QLXGETOPTIONS, Status), 364u);
    EXPECT_EQ(offsetof(QLXPUTOPTIONS, MsgId), 16u);
    EXPECT_EQ(offsetof(QLXPUTOPTIONS, ProfileName), 80u);
    EXPECT_EQ(offsetof(QLXPUTOPTIONS, Reserved4), 368u);
    EXPECT_EQ(offsetof(QLXALERT, AlertType), 12u);
    EXPECT_EQ(offsetof(QLXALERT, Text), 16u);
    EXPECT_EQ(sizeof(QLXALERT), 40u);
    EXPECT_EQ(offsetof(QLXERROR, PrimaryResult) + offsetof(ResultBlock, ReasonCode), 8u);
    EXPECT_EQ(offsetof(QLXERROR, SubResult), 228u);
    EXPECT_EQ(sizeof(QLXERROR), 452u);
}

/* The client-side records open with their eye-catchers and versions. */
TEST(Records, ClientRecordDefaults)
{
    EXPECT_EQ(Bytes(DefaultRequest),
              Image(64).Text(0, "FXRQ").Word(4, 1).Word(8, QLX_MSGTYPE_TRANSACTION).Bytes());
    EXPECT_EQ(Bytes(DefaultReply), Image(72).Text(0, "FXRP").Word(4, 1).Bytes());
    EXPECT_EQ(Bytes(DefaultStats), Image(88).Text(0, "FXST").Word(4, 1).Bytes());
}

const char NoMsgId[24] = {};

/* Get options without a message id: the profile, 0x20148 and one second. */
TEST(Preparation, GetOptionsWithoutMessageId)
{
    QLXGETOPTIONS options;
    memset(&options, 0x55, sizeof options);
    PrepareGetOptions(&options, "GetProfile", NoMsgId);
    EXPECT_EQ(Bytes(options),
              GetOptionsImage().Word(8, 0x20148).Word(12, 1000).Text(88, "GetProfile").Bytes());
}

/* A message id copies its 24 bytes and adds 0x1. */
TEST(Preparation, GetOptionsWithMessageId)
{
    const char msgId[24] = "ID1                    ";
    QLXGETOPTIONS options;
    PrepareGetOptions(&options, nullptr, msgId);
    EXPECT_EQ(
        Bytes(options),
        GetOptionsImage().Word(8, 0x20149).Word(12, 1000).Text(20, std::string(msgId, 24)).Bytes());
}

/* A message id whose first byte is zero is no message id, whatever follows. */
TEST(Preparation, MessageIdWithAZeroFirstByteIsNone)
{
    char msgId[24];
    memset(msgId, 'Z', sizeof msgId);
    msgId[0] = '\0';
    QLXGETOPTIONS get;
    PrepareGetOptions(&get, nullptr, msgId);
    EXPECT_EQ(Bytes(get), GetOptionsImage().Word(8, 0x20148).Word(12, 1000).Bytes());
    QLXPUTOPTIONS put;
    PreparePutOptions(&put, nullptr, msgId);
    EXPECT_EQ(Bytes(put), PutOptionsImage().Bytes());
}

/* Put options keep the default bits; a message id adds its bytes and 0x1. */
TEST(Preparation, PutOptions)
{
    QLXPUTOPTIONS options;
    PreparePutOptions(&options, "PutProfile", NoMsgId);
    EXPECT_EQ(Bytes(options), PutOptionsImage().Text(80, "PutProfile").Bytes());
    const char msgId[24] = "ORDER-7                ";
    PreparePutOptions(&options, "PutProfile", msgId);
    EXPECT_EQ(Bytes(options), PutOptionsImage()
                                  .Word(8, 0x40000001)
                                  .Text(16, std::string(msgId, 24))
                                  .Text(80, "PutProfile")
                                  .Bytes());
}

/* The alert holds type 0 and the constant text. */
TEST(Preparation, Alert)
{
    QLXALERT alert;
    memset(&alert, 0x55, sizeof alert);
    PrepareAlert(&alert);
    EXPECT_STREQ(alert.Text, "Notify Response Sent");
    EXPECT_EQ(Bytes(alert), AlertImage().Word(12, 0).Pointer(16, alert.Text).Bytes());
}

/* The service address holds the element name in its field. */
TEST(Preparation, ServiceAddress)
{
    QLXSERVICEADDRESS address;
    PrepareServiceAddress(&address, "TestE1");
    EXPECT_EQ(Bytes(address), ServiceAddressImage().Text(8, "TestE1").Bytes());
    PrepareServiceAddress(&address, nullptr);
    EXPECT_EQ(Bytes(address), ServiceAddressImage().Bytes());
}

struct Bounded {
    size_t Length;
    size_t Copied;
};

std::ostream &operator<<(std::ostream &out, const Bounded &bounded)
{
    return out << bounded.Length << " characters";
}

class NameFields : public testing::TestWithParam<Bounded> {};

/* Names are copied bounded to 132 bytes, the rest filled with zeros: 131
 * characters keep a terminator, 132 or more fill the field without one. */
TEST_P(NameFields, AreFilledBounded)
{
    std::string name;
    for (size_t i = 0; i < GetParam().Length; ++i)
        name += static_cast<char>('A' + i % 26);
    char field[QLX_NAME_LENGTH + 4];
    memset(field, 'x', sizeof field);
    FillName(field, name.c_str());
    std::string expected = name.substr(0, GetParam().Copied);
    expected.resize(QLX_NAME_LENGTH, '\0');
    EXPECT_EQ(std::string(field, sizeof field), expected + "xxxx");
}

INSTANTIATE_TEST_SUITE_P(Preparation, NameFields,
                         testing::Values(Bounded{0, 0}, Bounded{1, 1}, Bounded{131, 131},
                                         Bounded{132, 132}, Bounded{133, 132}, Bounded{400, 132}),
                         [](const testing::TestParamInfo<Bounded> &info) {
                             return "Length" + std::to_string(info.param.Length);
                         });

/* A null name fills the field with zeros. */
TEST(Preparation, NullNameFillsZeros)
{
    char field[QLX_NAME_LENGTH];
    memset(field, 'x', sizeof field);
    FillName(field, nullptr);
    EXPECT_EQ(std::string(field, sizeof field), std::string(QLX_NAME_LENGTH, '\0'));
}

} // namespace
