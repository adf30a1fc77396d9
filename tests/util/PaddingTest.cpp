#include "util/Padding.h"

#include <gtest/gtest.h>
#include <ostream>
#include <string>

#include "tests/support/GuardedPage.h"

namespace {

using namespace std::string_literals;

struct CopyCase {
    const char *Src;
    uint32_t Width;
    uint32_t SrcMax;
    std::string Field; /* the whole field, followed by the untouched sentinel */
};

void PrintTo(const CopyCase &c, std::ostream *out)
{
    *out << '"' << c.Src << "\" width " << c.Width << " srcmax " << c.SrcMax;
}

class CopyAndPadCases : public testing::TestWithParam<CopyCase> {};

/* The field receives exactly width bytes, text then blanks, and no terminator. */
TEST_P(CopyAndPadCases, FillsExactlyTheFieldWidth)
{
    const CopyCase &c = GetParam();
    char dest[32];
    memset(dest, '#', sizeof dest);
    CopyAndPad(dest, c.Src, c.Width, c.SrcMax);
    EXPECT_EQ(std::string(dest, c.Width + 1), c.Field);
}

INSTANTIATE_TEST_SUITE_P(
    CopyAndPad, CopyAndPadCases,
    testing::Values(CopyCase{"abc", 6, 10, "abc   #"}, CopyCase{"abcdef", 4, 10, "abcd#"},
                    CopyCase{"abcdef", 6, 2, "ab    #"}, CopyCase{"abcdef", 6, 10, "abcdef#"},
                    CopyCase{"abcdef", 6, 6, "abcdef#"}, CopyCase{"", 5, 10, "     #"},
                    CopyCase{"abc", 5, 0, "     #"}, CopyCase{"abc", 0, 10, "#"},
                    CopyCase{"a b", 5, 10, "a b  #"}));

/* Without a terminator, the source is read no further than srcmax. */
TEST(CopyAndPad, ReadsNoFurtherThanSrcmax)
{
    tfxtest::GuardedPage page;
    const char *src = page.Last(3, "xyz");
    char dest[9];
    memset(dest, '#', sizeof dest);
    CopyAndPad(dest, src, 8, 3);
    EXPECT_EQ(std::string(dest, 9), "xyz     #");
}

struct ConcatCase {
    std::string Field; /* the field before, width bytes */
    const char *Src;
    uint32_t SrcMax;
    std::string After; /* the field after, followed by the untouched sentinel */
};

void PrintTo(const ConcatCase &c, std::ostream *out)
{
    *out << testing::PrintToString(c.Field) << " + \"" << c.Src << "\" srcmax " << c.SrcMax;
}

class ConcatAndPadCases : public testing::TestWithParam<ConcatCase> {};

/* The text is appended at the field's first blank or zero byte, replacing
 * everything from there on, and the field keeps its width. */
TEST_P(ConcatAndPadCases, AppendsAtTheFirstBlankOrZero)
{
    const ConcatCase &c = GetParam();
    char dest[32];
    memset(dest, '#', sizeof dest);
    memcpy(dest, c.Field.data(), c.Field.size());
    ConcatAndPad(dest, c.Src, static_cast<uint32_t>(c.Field.size()), c.SrcMax);
    EXPECT_EQ(std::string(dest, c.Field.size() + 1), c.After);
}

INSTANTIATE_TEST_SUITE_P(
    ConcatAndPad, ConcatAndPadCases,
    testing::Values(ConcatCase{"ab      ", "cd", 10, "abcd    #"},
                    ConcatCase{"p q     ", "cd", 10, "pcd     #"}, /* the q is lost */
                    ConcatCase{"abcdefgh", "cd", 10, "abcdefgh#"}, /* a full field stays */
                    ConcatCase{"ab\0xxxxx"s, "cd", 10, "abcd    #"},
                    ConcatCase{"ab      ", "cdefghijk", 10, "abcdefgh#"},
                    ConcatCase{"ab      ", "cdefghijk", 3, "abcde   #"},
                    ConcatCase{"        ", "cd", 10, "cd      #"}, ConcatCase{"", "cd", 10, "#"}));

struct ScoreCase {
    std::string Text;
    uint32_t Max;
    std::string After;
};

void PrintTo(const ScoreCase &c, std::ostream *out)
{
    *out << testing::PrintToString(c.Text) << " max " << c.Max;
}

class ConvertScoreToBlankCases : public testing::TestWithParam<ScoreCase> {};

/* Underscores become blanks up to max characters or the first zero byte. */
TEST_P(ConvertScoreToBlankCases, BlanksUnderscoresWithinTheText)
{
    const ScoreCase &c = GetParam();
    std::string text = c.Text;
    ConvertScoreToBlank(text.data(), c.Max);
    EXPECT_EQ(text, c.After);
}

INSTANTIATE_TEST_SUITE_P(
    ConvertScoreToBlank, ConvertScoreToBlankCases,
    testing::Values(ScoreCase{"x_y_z", 3, "x y_z"}, ScoreCase{"x_y_z", 10, "x y z"},
                    ScoreCase{"a_b\0c_d"s, 10, "a b\0c_d"s}, /* stops at the zero byte */
                    ScoreCase{"___", 0, "___"}, ScoreCase{"___", 3, "   "},
                    ScoreCase{"no-score", 8, "no-score"}));

} // namespace
