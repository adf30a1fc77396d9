#include "getopt/tfxgnuop.h"

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

const char ServerList[] = "c:t:i:s:pm:a:q?h";

/* An argument vector as a program receives it: argv[0] is the program name P
 * and argv[argc] is a null pointer. */
class ArgVector {
  public:
    explicit ArgVector(std::vector<std::string> args) : texts_(std::move(args))
    {
        texts_.insert(texts_.begin(), "P");
        for (std::string &text : texts_)
            pointers_.push_back(text.data());
        pointers_.push_back(nullptr);
    }
    int Argc() const { return static_cast<int>(texts_.size()); }
    char **Argv() { return pointers_.data(); }

  private:
    std::vector<std::string> texts_;
    std::vector<char *> pointers_;
};

/* What one call of the scanner returned and left in its globals. */
struct Step {
    int Result;
    std::optional<std::string> Optarg;
    int Optind;
    int Optopt;
    bool operator==(const Step &) const = default;
};

void PrintTo(const Step &step, std::ostream *out)
{
    *out << "{result " << step.Result;
    if (step.Result > ' ')
        *out << " '" << static_cast<char>(step.Result) << "'";
    *out << ", optarg " << (step.Optarg ? '"' + *step.Optarg + '"' : std::string("null"))
         << ", optind " << step.Optind << ", optopt " << step.Optopt << "}";
}

/* A step that leaves optopt at its initial '?'. */
Step S(int result, std::optional<std::string> arg, int index, int option = '?')
{
    return Step{result, std::move(arg), index, option};
}

const std::nullopt_t None = std::nullopt;

/* Every test starts from a scanner that has not begun a scan. */
class OptionScanner : public testing::Test {
  protected:
    void SetUp() override
    {
        optind = 0;
        opterr = 1;
        optopt = '?';
        optarg = nullptr;
    }

    /* Calls the scanner until it returns -1 (at most 20 times) and records
     * every call; then checks that a further call stays at -1. */
    std::vector<Step> Scan(ArgVector &args, const char *list)
    {
        std::vector<Step> steps;
        for (int call = 0; call < 20; ++call) {
            int result = tfx_getopt(args.Argc(), args.Argv(), list);
            std::optional<std::string> arg;
            if (optarg != nullptr)
                arg = optarg;
            steps.push_back(Step{result, arg, optind, optopt});
            if (result == -1)
                break;
        }
        int endIndex = optind;
        EXPECT_EQ(tfx_getopt(args.Argc(), args.Argv(), list), -1);
        EXPECT_EQ(optind, endIndex);
        return steps;
    }

    /* Scan, with everything the scanner writes to standard error. */
    std::vector<Step> ScanCapturing(ArgVector &args, const char *list, std::string *errors)
    {
        testing::internal::CaptureStderr();
        std::vector<Step> steps = Scan(args, list);
        *errors = testing::internal::GetCapturedStderr();
        return steps;
    }
};

/* With nothing after the program name the first call ends the scan on index 1. */
TEST_F(OptionScanner, NoArgumentsEndAtOnceWithOptindOne)
{
    ArgVector args({});
    std::string errors;
    EXPECT_EQ(ScanCapturing(args, ServerList, &errors), (std::vector<Step>{S(-1, None, 1)}));
    EXPECT_EQ(errors, "");
}

/* Options may share one argument; each is returned in turn. */
TEST_F(OptionScanner, ClusterReturnsEachOptionInTurn)
{
    ArgVector args({"-pq"});
    EXPECT_EQ(Scan(args, ServerList),
              (std::vector<Step>{S('p', None, 1), S('q', None, 2), S(-1, None, 2)}));
}

/* An argument attached to its option is the rest of that argument. */
TEST_F(OptionScanner, AttachedArgumentIsTheRestOfTheArgument)
{
    ArgVector args({"-t5"});
    ASSERT_EQ(tfx_getopt(args.Argc(), args.Argv(), ServerList), 't');
    EXPECT_EQ(optarg, args.Argv()[1] + 2);
    EXPECT_EQ(optind, 2);
    EXPECT_EQ(tfx_getopt(args.Argc(), args.Argv(), ServerList), -1);
    EXPECT_EQ(optarg, nullptr);
    EXPECT_EQ(optind, 2);
}

/* An option that ends its argument takes the next argument whole. */
TEST_F(OptionScanner, SeparateArgumentIsTheNextArgument)
{
    ArgVector args({"-t", "5", "rest"});
    ASSERT_EQ(tfx_getopt(args.Argc(), args.Argv(), ServerList), 't');
    EXPECT_EQ(optarg, args.Argv()[2]);
    EXPECT_EQ(optind, 3);
    EXPECT_EQ(tfx_getopt(args.Argc(), args.Argv(), ServerList), -1);
    EXPECT_EQ(optind, 3);
}

/* The next argument is taken as it stands, even when it looks like an option. */
TEST_F(OptionScanner, SeparateArgumentMayLookLikeAnOption)
{
    ArgVector dashes({"-t", "--", "-q"});
    EXPECT_EQ(Scan(dashes, ServerList),
              (std::vector<Step>{S('t', "--", 3), S('q', None, 4), S(-1, None, 4)}));
    SetUp();
    ArgVector option({"-t", "-q"});
    EXPECT_EQ(Scan(option, ServerList), (std::vector<Step>{S('t', "-q", 3), S(-1, None, 3)}));
}

/* An option taking an argument inside a cluster takes the rest of the cluster. */
TEST_F(OptionScanner, OptionInsideClusterTakesTheRest)
{
    ArgVector args({"-qt5", "-pt", "7"});
    EXPECT_EQ(Scan(args, ServerList),
              (std::vector<Step>{S('q', None, 1), S('t', "5", 2), S('p', None, 2), S('t', "7", 4),
                                 S(-1, None, 4)}));
}

/* A required argument that is missing ends the scan with optind on argc. */
TEST_F(OptionScanner, MissingArgumentIsReportedAndEndsTheScan)
{
    ArgVector args({"-q", "-t"});
    std::string errors;
    EXPECT_EQ(ScanCapturing(args, ServerList, &errors),
              (std::vector<Step>{S('q', None, 2), S('?', None, 3, 't'), S(-1, None, 3, 't')}));
    EXPECT_EQ(errors, "P: option requires an argument -- t\n");
}

/* A missing argument at the end of a cluster is reported the same way. */
TEST_F(OptionScanner, MissingArgumentAtTheEndOfAClusterIsReported)
{
    ArgVector args({"-qt"});
    std::string errors;
    EXPECT_EQ(ScanCapturing(args, ServerList, &errors),
              (std::vector<Step>{S('q', None, 1), S('?', None, 2, 't'), S(-1, None, 2, 't')}));
    EXPECT_EQ(errors, "P: option requires an argument -- t\n");
}

/* An unknown option is reported, and scanning goes on with what follows it. */
TEST_F(OptionScanner, IllegalOptionIsReportedAndScanningGoesOn)
{
    ArgVector args({"-xq", "-x", "-p"});
    std::string errors;
    EXPECT_EQ(ScanCapturing(args, ServerList, &errors),
              (std::vector<Step>{S('?', None, 1, 'x'), S('q', None, 2, 'x'), S('?', None, 3, 'x'),
                                 S('p', None, 4, 'x'), S(-1, None, 4, 'x')}));
    EXPECT_EQ(errors, "P: illegal option -- x\nP: illegal option -- x\n");
}

/* Each error sets optopt to its own option character. */
TEST_F(OptionScanner, OptoptHoldsTheCharacterOfTheLastError)
{
    ArgVector args({"-y", "-p", "-z", "-t"});
    std::string errors;
    EXPECT_EQ(ScanCapturing(args, ServerList, &errors),
              (std::vector<Step>{S('?', None, 2, 'y'), S('p', None, 3, 'y'), S('?', None, 4, 'z'),
                                 S('?', None, 5, 't'), S(-1, None, 5, 't')}));
    EXPECT_EQ(errors, "P: illegal option -- y\n"
                      "P: illegal option -- z\n"
                      "P: option requires an argument -- t\n");
}

/* '?' in the option list is an ordinary option: no message, optopt untouched. */
TEST_F(OptionScanner, QuestionMarkInTheListIsAnOrdinaryOption)
{
    optopt = 0;
    ArgVector args({"-?", "-h?"});
    std::string errors;
    EXPECT_EQ(ScanCapturing(args, ServerList, &errors),
              (std::vector<Step>{S('?', None, 2, 0), S('h', None, 2, 0), S('?', None, 3, 0),
                                 S(-1, None, 3, 0)}));
    EXPECT_EQ(errors, "");
}

/* ':' is never an option character, even though the list holds it. */
TEST_F(OptionScanner, ColonIsAnIllegalOption)
{
    ArgVector args({"-:"});
    std::string errors;
    EXPECT_EQ(ScanCapturing(args, ServerList, &errors),
              (std::vector<Step>{S('?', None, 2, ':'), S(-1, None, 2, ':')}));
    EXPECT_EQ(errors, "P: illegal option -- :\n");
}

/* An option character is taken as a signed char, so bytes above 127 are negative. */
TEST_F(OptionScanner, HighByteOptionIsANegativeCharacter)
{
    ArgVector args({"-\xE9"});
    std::string errors;
    int high = static_cast<signed char>('\xE9');
    EXPECT_EQ(ScanCapturing(args, ServerList, &errors),
              (std::vector<Step>{S('?', None, 2, high), S(-1, None, 2, high)}));
    EXPECT_EQ(errors, "P: illegal option -- \xE9\n");
}

/* "--" ends the options and is itself skipped. */
TEST_F(OptionScanner, DoubleDashEndsOptionsAndIsSkipped)
{
    ArgVector args({"-q", "--", "-p"});
    EXPECT_EQ(Scan(args, ServerList), (std::vector<Step>{S('q', None, 2), S(-1, None, 3)}));
}

/* A lone "-" ends the options and is the first argument that is not one. */
TEST_F(OptionScanner, LoneDashEndsOptionsAndStays)
{
    ArgVector args({"-q", "-", "x"});
    EXPECT_EQ(Scan(args, ServerList), (std::vector<Step>{S('q', None, 2), S(-1, None, 2)}));
}

/* The first argument that is not an option ends the scan; nothing is reordered. */
TEST_F(OptionScanner, StopsAtFirstNonOption)
{
    ArgVector args({"name", "-q"});
    EXPECT_EQ(Scan(args, ServerList), (std::vector<Step>{S(-1, None, 1)}));
    SetUp();
    ArgVector later({"-p", "name", "-q"});
    EXPECT_EQ(Scan(later, ServerList), (std::vector<Step>{S('p', None, 2), S(-1, None, 2)}));
}

/* An argument that begins with two dashes and goes on is a cluster holding '-'. */
TEST_F(OptionScanner, DoubleDashWithMoreIsACluster)
{
    ArgVector args({"--q"});
    std::string errors;
    EXPECT_EQ(ScanCapturing(args, ServerList, &errors),
              (std::vector<Step>{S('?', None, 1, '-'), S('q', None, 2, '-'), S(-1, None, 2, '-')}));
    EXPECT_EQ(errors, "P: illegal option -- -\n");
}

/* An optional argument is only taken from the rest of the same argument. */
TEST_F(OptionScanner, OptionalArgumentComesOnlyFromTheSameArgument)
{
    ArgVector attached({"-afoo"});
    EXPECT_EQ(Scan(attached, "a::b"), (std::vector<Step>{S('a', "foo", 2), S(-1, None, 2)}));
    SetUp();
    ArgVector separate({"-a", "foo"});
    EXPECT_EQ(Scan(separate, "a::b"), (std::vector<Step>{S('a', None, 2), S(-1, None, 2)}));
    SetUp();
    ArgVector cluster({"-ba", "-b"});
    EXPECT_EQ(Scan(cluster, "a::b"), (std::vector<Step>{S('b', None, 1), S('a', None, 2),
                                                        S('b', None, 3), S(-1, None, 3)}));
}

/* A leading '+' or '-' of the list is skipped and is no option itself. */
TEST_F(OptionScanner, LeadingPlusOrMinusOfTheListIsSkipped)
{
    for (const char *list : {"+a:", "-a:"}) {
        SetUp();
        ArgVector args({"-abc", "-+"});
        std::string errors;
        EXPECT_EQ(ScanCapturing(args, list, &errors),
                  (std::vector<Step>{S('a', "bc", 2), S('?', None, 3, '+'), S(-1, None, 3, '+')}))
            << list;
        EXPECT_EQ(errors, "P: illegal option -- +\n") << list;
    }
}

/* Setting optind back to 0 starts a new scan from the first argument. */
TEST_F(OptionScanner, OptindZeroRestartsTheScan)
{
    ArgVector args({"-pq", "-t5"});
    std::vector<Step> whole{S('p', None, 1), S('q', None, 2), S('t', "5", 3), S(-1, None, 3)};
    EXPECT_EQ(Scan(args, ServerList), whole);
    optind = 0;
    EXPECT_EQ(Scan(args, ServerList), whole);
}

/* A scan left halfway restarts cleanly, on another vector too. */
TEST_F(OptionScanner, OptindZeroRestartsAScanLeftHalfway)
{
    ArgVector first({"-pq"});
    ASSERT_EQ(tfx_getopt(first.Argc(), first.Argv(), ServerList), 'p');
    optind = 0;
    ArgVector second({"-t5"});
    EXPECT_EQ(Scan(second, ServerList), (std::vector<Step>{S('t', "5", 2), S(-1, None, 2)}));
}

/* Once a scan has ended, optind 1 does not start another: only 0 does. */
TEST_F(OptionScanner, OptindOneDoesNotRestartAnEndedScan)
{
    ArgVector args({"-q", "name"});
    EXPECT_EQ(Scan(args, ServerList), (std::vector<Step>{S('q', None, 2), S(-1, None, 2)}));
    optind = 1;
    EXPECT_EQ(tfx_getopt(args.Argc(), args.Argv(), ServerList), -1);
    EXPECT_EQ(optind, 1);
}

/* In a fresh process, optind 1 before the first call starts no scan. Runs in a
 * re-executed copy of this program, so no earlier scan has left any state. */
TEST_F(OptionScanner, OptindOneBeforeTheFirstCallStartsNoScan)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ArgVector args({"-q"});
            optind = 1;
            int result = tfx_getopt(args.Argc(), args.Argv(), ServerList);
            _exit(result == -1 && optind == 1 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

/* One error case under a given list and opterr: what the scanner returns and writes. */
struct ErrorCase {
    const char *Name;
    const char *List;
    std::vector<std::string> Args;
    int Opterr;
    std::vector<Step> Steps;
    std::string Errors;
};

void PrintTo(const ErrorCase &errorCase, std::ostream *out)
{
    *out << errorCase.Name;
}

class OptionScannerErrors : public OptionScanner, public testing::WithParamInterface<ErrorCase> {};

/* Both errors return ':' under a list that begins with ':', else '?'; only
 * opterr decides whether the message is written. */
TEST_P(OptionScannerErrors, ReturnAndReportAsTheListAndOpterrSay)
{
    const ErrorCase &c = GetParam();
    opterr = c.Opterr;
    ArgVector args(c.Args);
    std::string errors;
    EXPECT_EQ(ScanCapturing(args, c.List, &errors), c.Steps);
    EXPECT_EQ(errors, c.Errors);
}

const std::string IllegalZ = "P: illegal option -- z\n";
const std::string MissingA = "P: option requires an argument -- a\n";

INSTANTIATE_TEST_SUITE_P(
    OptionScanner, OptionScannerErrors,
    testing::Values(ErrorCase{"IllegalOptionGivesQuestionMark",
                              "a:b",
                              {"-z"},
                              1,
                              {S('?', None, 2, 'z'), S(-1, None, 2, 'z')},
                              IllegalZ},
                    ErrorCase{"MissingArgumentGivesQuestionMark",
                              "a:b",
                              {"-a"},
                              1,
                              {S('?', None, 2, 'a'), S(-1, None, 2, 'a')},
                              MissingA},
                    ErrorCase{"IllegalOptionGivesColonAfterLeadingColon",
                              ":a:b",
                              {"-z"},
                              1,
                              {S(':', None, 2, 'z'), S(-1, None, 2, 'z')},
                              IllegalZ},
                    ErrorCase{"MissingArgumentGivesColonAfterLeadingColon",
                              ":a:b",
                              {"-a"},
                              1,
                              {S(':', None, 2, 'a'), S(-1, None, 2, 'a')},
                              MissingA},
                    ErrorCase{"LeadingColonCountsAfterTheSkippedPlus",
                              "+:a:b",
                              {"-z", "-a"},
                              1,
                              {S(':', None, 2, 'z'), S(':', None, 3, 'a'), S(-1, None, 3, 'a')},
                              IllegalZ + MissingA},
                    ErrorCase{"ColonAfterTheLeadingColonIsStillIllegal",
                              ":a:b",
                              {"-:"},
                              1,
                              {S(':', None, 2, ':'), S(-1, None, 2, ':')},
                              "P: illegal option -- :\n"},
                    ErrorCase{"OpterrZeroWritesNoIllegalOptionMessage",
                              "a:b",
                              {"-zb"},
                              0,
                              {S('?', None, 1, 'z'), S('b', None, 2, 'z'), S(-1, None, 2, 'z')},
                              ""},
                    ErrorCase{"OpterrZeroWritesNoMissingArgumentMessage",
                              "a:b",
                              {"-b", "-a"},
                              0,
                              {S('b', None, 2), S('?', None, 3, 'a'), S(-1, None, 3, 'a')},
                              ""},
                    ErrorCase{"OpterrZeroWithLeadingColonWritesNothing",
                              ":a:b",
                              {"-z", "-a"},
                              0,
                              {S(':', None, 2, 'z'), S(':', None, 3, 'a'), S(-1, None, 3, 'a')},
                              ""}),
    [](const testing::TestParamInfo<ErrorCase> &info) { return std::string(info.param.Name); });

} // namespace
