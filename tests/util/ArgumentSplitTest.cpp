#include "util/ArgumentSplit.h"

#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

struct SplitCase {
    std::string Line;
    std::vector<std::string> Arguments; /* after the name */
    std::string LineAfter;              /* the whole line afterwards, terminator included */
};

void PrintTo(const SplitCase &c, std::ostream *out)
{
    *out << testing::PrintToString(c.Line);
}

class ConstructArgsCases : public testing::TestWithParam<SplitCase> {};

/* Only blanks separate; each blank becomes a zero byte, runs of blanks make no
 * empty arguments, and the vector ends with a null entry. */
TEST_P(ConstructArgsCases, SplitsAtBlanksOnly)
{
    const SplitCase &c = GetParam();
    std::vector<char> line(c.Line.begin(), c.Line.end());
    line.push_back('\0');
    char name[] = "prog";
    std::vector<char *> argv((line.size() + 1) / 2 + 2, nullptr);

    int count = ConstructArgs(line.data(), name, argv.data());

    ASSERT_EQ(count, static_cast<int>(c.Arguments.size()) + 1);
    EXPECT_EQ(argv[0], name);
    std::vector<std::string> arguments(argv.begin() + 1, argv.begin() + count);
    EXPECT_EQ(arguments, c.Arguments);
    EXPECT_EQ(argv[count], nullptr);
    EXPECT_EQ(std::string(line.begin(), line.end()), c.LineAfter);
}

INSTANTIATE_TEST_SUITE_P(
    ConstructArgs, ConstructArgsCases,
    testing::Values(SplitCase{"  ab  cd ", {"ab", "cd"}, "\0\0ab\0\0cd\0\0"s},
                    SplitCase{"", {}, "\0"s}, SplitCase{"    ", {}, "\0\0\0\0\0"s},
                    SplitCase{"one", {"one"}, "one\0"s},
                    SplitCase{"a b c", {"a", "b", "c"}, "a\0b\0c\0"s},
                    SplitCase{"a\tb c", {"a\tb", "c"}, "a\tb\0c\0"s},
                    SplitCase{"\t\t", {"\t\t"}, "\t\t\0"s},
                    SplitCase{" \t  x\t \t", {"\t", "x\t", "\t"}, "\0\t\0\0x\t\0\t\0"s},
                    SplitCase{"-t 5\t-q", {"-t", "5\t-q"}, "-t\0005\t-q\0"s}));

/* The arguments point into the line itself. */
TEST(ConstructArgs, PointsIntoTheLine)
{
    char line[] = " ab cd";
    char name[] = "prog";
    char *argv[5];
    ASSERT_EQ(ConstructArgs(line, name, argv), 3);
    EXPECT_EQ(argv[1], line + 1);
    EXPECT_EQ(argv[2], line + 4);
}

/* A line of single-character arguments needs the most entries, and
 * (length + 1) / 2 + 2 of them hold it, the null included; the entries after
 * the null are left alone. */
TEST(ConstructArgs, FillsNoEntryAfterTheNull)
{
    char line[] = "a b c d e"; /* length 9: at most 7 entries */
    char name[] = "prog";
    char untouched[] = "untouched";
    char *argv[8];
    for (char *&entry : argv)
        entry = untouched;
    ASSERT_EQ(ConstructArgs(line, name, argv), 6);
    EXPECT_EQ(argv[6], nullptr);
    EXPECT_EQ(argv[7], untouched);
}

} // namespace
