#include "util/ThemeId.h"

#include <array>
#include <gtest/gtest.h>
#include <random>
#include <ostream>
#include <string>

#include "tests/support/GuardedPage.h"

namespace {

using ThemeId = std::array<unsigned char, 24>;

/* An identifier that begins with the given bytes and is zero after them. */
ThemeId IdBeginning(std::initializer_list<unsigned char> bytes)
{
    ThemeId id{};
    std::copy(bytes.begin(), bytes.end(), id.begin());
    return id;
}

ThemeId Counting()
{
    ThemeId id{};
    for (size_t i = 0; i < id.size(); ++i)
        id[i] = static_cast<unsigned char>(i);
    return id;
}

struct IdCase {
    ThemeId Id;
    std::string Text; /* the 48 characters */
};

/* The first eight characters tell the cases apart. */
void PrintTo(const IdCase &c, std::ostream *out)
{
    *out << testing::PrintToString(c.Text.substr(0, 8)) << "...";
}

class ConvertThemeIdCases : public testing::TestWithParam<IdCase> {};

/* Two upper-case digits per byte, high half first: 48 characters and not one
 * more. */
TEST_P(ConvertThemeIdCases, WritesFortyEightUpperCaseDigits)
{
    const IdCase &c = GetParam();
    char text[64];
    memset(text, '#', sizeof text);
    ConvertThemeId(text, c.Id.data());
    EXPECT_EQ(std::string(text, 49), c.Text + "#");
}

INSTANTIATE_TEST_SUITE_P(
    ConvertThemeId, ConvertThemeIdCases,
    testing::Values(IdCase{ThemeId{}, std::string(48, '0')},
                    IdCase{IdBeginning({0x01, 0xAB, 0xFF}), "01ABFF" + std::string(42, '0')},
                    IdCase{Counting(), "000102030405060708090A0B0C0D0E0F1011121314151617"},
                    IdCase{IdBeginning({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
                           std::string(48, 'F')},
                    IdCase{IdBeginning({0x80, 0x7F, 0x10, 0x09}),
                           "807F1009" + std::string(40, '0')}));

class RevertThemeIdCases : public testing::TestWithParam<IdCase> {};

/* Digits of either case count as their values, every other character as 0;
 * exactly 24 bytes are written. */
TEST_P(RevertThemeIdCases, ReadsTwoDigitsPerByte)
{
    const IdCase &c = GetParam();
    std::array<unsigned char, 25> id;
    id.fill(0xEE);
    RevertThemeId(c.Text.data(), id.data());
    std::array<unsigned char, 25> expected;
    std::copy(c.Id.begin(), c.Id.end(), expected.begin());
    expected[24] = 0xEE;
    EXPECT_EQ(id, expected);
}

INSTANTIATE_TEST_SUITE_P(
    RevertThemeId, RevertThemeIdCases,
    testing::Values(IdCase{ThemeId{}, std::string(48, '0')},
                    IdCase{IdBeginning({0x01, 0xAB, 0xFF}), "01ABFF" + std::string(42, '0')},
                    IdCase{IdBeginning({0x01, 0xAB, 0xFF}), "01abff" + std::string(42, '0')},
                    IdCase{IdBeginning({0xAB, 0xCD}), "aBcD" + std::string(44, '0')},
                    IdCase{Counting(), "000102030405060708090a0b0c0d0e0f1011121314151617"}));

/* Characters that are no hexadecimal digit count as 0, whatever their code. */
INSTANTIATE_TEST_SUITE_P(
    OtherCharacters, RevertThemeIdCases,
    testing::Values(IdCase{IdBeginning({0x0A, 0xB0}), "GAbg" + std::string(44, '0')},
                    IdCase{IdBeginning({0x01, 0x20}), " 12 " + std::string(44, ' ')},
                    IdCase{IdBeginning({0x0F, 0xF0}), "zfFz" + std::string(44, 'Z')},
                    IdCase{IdBeginning({0x05, 0x00}), "\x80"
                                                      "5\xff\x7f" +
                                                          std::string(44, '\0')},
                    IdCase{ThemeId{}, std::string(48, ':')}));

/* Converting to text and back gives the identifier again, for any identifier. */
TEST(ThemeIdRoundTrip, TextRevertsToTheSameIdentifier)
{
    std::mt19937 random(20240601);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 2000; ++round) {
        ThemeId id;
        for (unsigned char &b : id)
            b = static_cast<unsigned char>(byte(random));
        char text[48];
        ConvertThemeId(text, id.data());
        ThemeId back{};
        RevertThemeId(text, back.data());
        ASSERT_EQ(back, id) << "text " << std::string(text, 48);
    }
}

/* Reverting any upper-case text and converting it again gives the same text. */
TEST(ThemeIdRoundTrip, IdentifierConvertsToTheSameText)
{
    std::mt19937 random(7);
    std::uniform_int_distribution<int> digit(0, 15);
    for (int round = 0; round < 2000; ++round) {
        std::string text(48, ' ');
        for (char &c : text)
            c = "0123456789ABCDEF"[digit(random)];
        ThemeId id{};
        RevertThemeId(text.data(), id.data());
        char again[48];
        ConvertThemeId(again, id.data());
        ASSERT_EQ(std::string(again, 48), text);
    }
}

/* Neither conversion touches a 49th character: both work on text that ends
 * right before an inaccessible page. */
TEST(ThemeIdText, NeedsNoFortyNinthCharacter)
{
    tfxtest::GuardedPage page;
    const std::string digits = "000102030405060708090A0B0C0D0E0F1011121314151617";
    char *text = page.Last(48, std::string(48, '#').c_str());
    ConvertThemeId(text, Counting().data());
    EXPECT_EQ(std::string(text, 48), digits);
    ThemeId id{};
    RevertThemeId(text, id.data());
    EXPECT_EQ(id, Counting());
}

struct CompareCase {
    ThemeId Id1;
    ThemeId Id2;
    int Sign;
};

void PrintTo(const CompareCase &c, std::ostream *out)
{
    *out << testing::PrintToString(c.Id1) << " vs " << testing::PrintToString(c.Id2);
}

class CompareThemeIdCases : public testing::TestWithParam<CompareCase> {};

/* Identifiers compare as unsigned bytes, the first difference deciding. */
TEST_P(CompareThemeIdCases, OrdersByTheFirstDifferentByte)
{
    const CompareCase &c = GetParam();
    int result = CompareThemeId(c.Id1.data(), c.Id2.data());
    EXPECT_EQ((result > 0) - (result < 0), c.Sign);
}

INSTANTIATE_TEST_SUITE_P(
    CompareThemeId, CompareThemeIdCases,
    testing::Values(CompareCase{ThemeId{}, ThemeId{}, 0}, CompareCase{Counting(), Counting(), 0},
                    CompareCase{IdBeginning({0x80}), IdBeginning({0x7F}), 1},
                    CompareCase{IdBeginning({0x7F}), IdBeginning({0x80}), -1},
                    CompareCase{IdBeginning({1, 2, 0x80}), IdBeginning({1, 2, 0x7F, 0xFF}), 1},
                    CompareCase{IdBeginning({0x01, 0xFF}), IdBeginning({0x02, 0x00}), -1}));

/* Only the 24th byte differs. */
TEST(CompareThemeId, SeesTheLastByte)
{
    ThemeId a{};
    ThemeId b{};
    b[23] = 1;
    EXPECT_LT(CompareThemeId(a.data(), b.data()), 0);
    EXPECT_GT(CompareThemeId(b.data(), a.data()), 0);
}

} // namespace
