#include "util/Timestamp.h"

#include <gtest/gtest.h>
#include <ostream>
#include <string>

#include "tests/support/GuardedPage.h"

namespace {

struct StampCase {
    uint32_t Seconds;
    uint32_t Milliseconds;
    const char *Text; /* the 16 digits */
};

void PrintTo(const StampCase &c, std::ostream *out)
{
    *out << c.Seconds << " s " << c.Milliseconds << " ms";
}

class SecondsToStringCases : public testing::TestWithParam<StampCase> {};

/* Exactly 16 digits of UTC calendar time are written, and the byte after them
 * keeps its sentinel. */
TEST_P(SecondsToStringCases, WritesSixteenDigitsAndNothingAfter)
{
    const StampCase &c = GetParam();
    char out[24];
    memset(out, '#', sizeof out);
    TimeValue t{c.Seconds, c.Milliseconds};
    SecondsToString(out, &t);
    EXPECT_EQ(std::string(out, 17), std::string(c.Text) + "#");
}

INSTANTIATE_TEST_SUITE_P(
    SecondsToString, SecondsToStringCases,
    testing::Values(StampCase{0, 0, "0700101000000000"},
                    StampCase{946684799, 999, "0991231235959999"}, /* last second of 1999 */
                    StampCase{946684800, 5, "1000101000000005"},
                    StampCase{951782400, 0, "1000229000000000"},   /* a leap day */
                    StampCase{1078057896, 42, "1040229123136042"}, /* 2004: year part 104 */
                    StampCase{1234567890, 100, "1090213233130100"},
                    StampCase{2147483647, 0, "1380119031407000"}, /* largest signed 32-bit */
                    StampCase{2147483648, 1, "1380119031408001"}, /* after 2038, not 1901 */
                    StampCase{4294967295, 999, "2060207062815999"}));

/* The text fits a buffer of exactly 16 bytes: nothing is written past it. */
TEST(SecondsToString, FitsABufferOfSixteenBytes)
{
    tfxtest::GuardedPage page;
    char *out = page.Last(16, "################");
    TimeValue t{946684799, 999};
    SecondsToString(out, &t);
    EXPECT_EQ(std::string(out, 16), "0991231235959999");
}

} // namespace
