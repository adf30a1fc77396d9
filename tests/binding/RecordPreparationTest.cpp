#include "binding/RecordPreparation.h"

#include <cstring>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/RecordImages.h"

namespace {

using namespace tfxtest;

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
