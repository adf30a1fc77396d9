#include "client/traffic/RequestText.h"

#include <string>

#include <gtest/gtest.h>

namespace {

/* The data is a readable line, then zero bytes up to the size. */
TEST(RequestText, IsAReadableLinePaddedWithZeros)
{
    RequestText text("tfxclnt 7 on host", 64);
    std::string data(text.Fill(12), 64);
    std::string line = "message 12 from tfxclnt 7 on host\n";
    EXPECT_EQ(data, line + std::string(64 - line.size(), '\0'));
}

/* A shorter line after a longer one leaves no characters of it behind. */
TEST(RequestText, ShorterLineLeavesNothingBehind)
{
    RequestText text("o", 40);
    (void)text.Fill(123456789012345ull);
    std::string data(text.Fill(1), 40);
    std::string line = "message 1 from o\n";
    EXPECT_EQ(data, line + std::string(40 - line.size(), '\0'));
}

/* A size below the line's length cuts the line: the tag then has no place. */
TEST(RequestText, SizeBelowTheLineCutsIt)
{
    RequestText text("o", 8);
    EXPECT_EQ(std::string(text.Fill(5), 8), "message ");
}

/* The origin names the program, its process and its host. */
TEST(RequestText, OriginNamesProgramProcessAndHost)
{
    std::string origin = RequestOrigin();
    EXPECT_EQ(origin.rfind("tfxclnt ", 0), 0u);
    EXPECT_NE(origin.find(" on "), std::string::npos);
}

} // namespace
