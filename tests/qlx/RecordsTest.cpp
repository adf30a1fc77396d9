#include "qlx/ServiceRecords.h"

#include <string>

#include <gtest/gtest.h>

#include "binding/DefaultRecords.h"
#include "qlx/ClientRecords.h"
#include "tests/support/RecordImages.h"

namespace {

using namespace tfxtest;

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

/* The client-side records open with their eye-catchers and versions. */
TEST(Records, ClientRecordDefaults)
{
    EXPECT_EQ(Bytes(DefaultRequest),
              Image(64).Text(0, "FXRQ").Word(4, 1).Word(8, QLX_MSGTYPE_TRANSACTION).Bytes());
    EXPECT_EQ(Bytes(DefaultReply), Image(72).Text(0, "FXRP").Word(4, 1).Bytes());
    EXPECT_EQ(Bytes(DefaultStats), Image(200).Text(0, "FXST").Word(4, 3).Bytes());
}

} // namespace
