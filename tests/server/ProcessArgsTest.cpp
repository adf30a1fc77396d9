#include "server/CommandLine.h"

#include <climits>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "getopt/tfxgnuop.h"
#include "server/RunSettings.h"
#include "tests/server/UsageText.h"

namespace {

/* Every run setting, as values, so that a test compares all of them at once. */
struct Settings {
    std::string ElementName;
    std::optional<std::string> PutProfile;
    std::optional<std::string> GetProfile;
    int DataTimeout = 0;
    int DataMinWait = 0;
    int DataMaxWait = 0;
    int DataMinSize = 0;
    int DataMaxSize = 0;
    int DataNormal = 1;
    int DataNotify = 0;
    std::string DataMsgId = std::string(24, '\0');
    int DataAlert = 0;
    int DataQuiet = 0;
    int Popups = 0;
    int Run = 1;
    bool operator==(const Settings &) const = default;
};

void PrintTo(const Settings &s, std::ostream *out)
{
    auto text = [](const std::optional<std::string> &t) {
        return t ? '"' + *t + '"' : std::string("null");
    };
    std::string msgId;
    for (char ch : s.DataMsgId)
        msgId += ch == '\0' ? std::string("\\0") : std::string(1, ch);
    *out << "{ElementName \"" << s.ElementName << "\", PutProfile " << text(s.PutProfile)
         << ", GetProfile " << text(s.GetProfile) << ", DataTimeout " << s.DataTimeout
         << ", DataMinWait " << s.DataMinWait << ", DataMaxWait " << s.DataMaxWait
         << ", DataMinSize " << s.DataMinSize << ", DataMaxSize " << s.DataMaxSize
         << ", DataNormal " << s.DataNormal << ", DataNotify " << s.DataNotify << ", DataMsgId \""
         << msgId << "\", DataAlert " << s.DataAlert << ", DataQuiet " << s.DataQuiet << ", Popups "
         << s.Popups << ", Run " << s.Run << "}";
}

/* The settings a program starts with. */
Settings Defaults()
{
    Settings s;
    s.ElementName = "TestElement1";
    return s;
}

Settings Current()
{
    Settings s;
    s.ElementName = ElementName;
    if (PutProfile != nullptr)
        s.PutProfile = PutProfile;
    if (GetProfile != nullptr)
        s.GetProfile = GetProfile;
    s.DataTimeout = DataTimeout;
    s.DataMinWait = DataMinWait;
    s.DataMaxWait = DataMaxWait;
    s.DataMinSize = DataMinSize;
    s.DataMaxSize = DataMaxSize;
    s.DataNormal = DataNormal;
    s.DataNotify = DataNotify;
    s.DataMsgId = std::string(DataMsgId, sizeof DataMsgId);
    s.DataAlert = DataAlert;
    s.DataQuiet = DataQuiet;
    s.Popups = Popups;
    s.Run = Run;
    return s;
}

/* Puts every run setting and the scanner back where a fresh program has them. */
void RestoreDefaults()
{
    ElementName = "TestElement1";
    PutProfile = nullptr;
    GetProfile = nullptr;
    DataTimeout = 0;
    DataMinWait = 0;
    DataMaxWait = 0;
    DataMinSize = 0;
    DataMaxSize = 0;
    DataNormal = 1;
    DataNotify = 0;
    memset(DataMsgId, 0, sizeof DataMsgId);
    DataAlert = 0;
    DataQuiet = 0;
    Popups = 0;
    Run = 1;
    optind = 0;
    opterr = 1;
    optopt = '?';
    optarg = nullptr;
}

/* Runs the command line in this process; every test starts from the defaults. */
class ProcessArgs : public testing::Test {
  protected:
    void SetUp() override { RestoreDefaults(); }
    void TearDown() override { RestoreDefaults(); }

    /* Makes the argument vector "tfxsrvr" args; the texts live as long as the test. */
    void SetArgs(std::vector<std::string> args)
    {
        args.insert(args.begin(), "tfxsrvr");
        texts_ = std::move(args);
        pointers_.clear();
        for (std::string &text : texts_)
            pointers_.push_back(text.data());
        pointers_.push_back(nullptr);
    }

    int Argc() const { return static_cast<int>(texts_.size()); }
    char **Argv() { return pointers_.data(); }
    char *Arg(int index) { return pointers_[index]; }

    /* Calls ProcessArgs on args and returns what it wrote to standard error. */
    std::string Parse(std::vector<std::string> args)
    {
        SetArgs(std::move(args));
        testing::internal::CaptureStderr();
        ::ProcessArgs(Argc(), Argv());
        return testing::internal::GetCapturedStderr();
    }

    /* Expects ProcessArgs on args to end the process with the given exit code
     * and exactly the given standard error. */
    void ExpectExit(std::vector<std::string> args, int code, const std::string &errors)
    {
        SetArgs(std::move(args));
        EXPECT_EXIT(::ProcessArgs(Argc(), Argv()), testing::ExitedWithCode(code),
                    testing::Matcher<const std::string &>(errors));
    }

  private:
    std::vector<std::string> texts_;
    std::vector<char *> pointers_;
};

/* An empty command line leaves every setting at its default. */
TEST_F(ProcessArgs, NoArgumentsKeepEveryDefault)
{
    EXPECT_EQ(Parse({}), "");
    EXPECT_EQ(Current(), Defaults());
}

/* -a without -c before it: no normal response, one notify; 'y' in any case sends alerts. */
TEST_F(ProcessArgs, AlertYesSetsOneNotifyAndTheAlert)
{
    for (const char *yes : {"y", "Y", "Yes", "yes please"}) {
        SetUp();
        EXPECT_EQ(Parse({"-a", yes}), "") << yes;
        Settings expected = Defaults();
        expected.DataNormal = 0;
        expected.DataNotify = 1;
        expected.DataAlert = 1;
        EXPECT_EQ(Current(), expected) << yes;
    }
}

/* Any other first character changes the counts but sends no alert. */
TEST_F(ProcessArgs, AlertOtherThanYesSetsCountsOnly)
{
    for (const char *other : {"n", "No", "x", ""}) {
        SetUp();
        EXPECT_EQ(Parse({"-a", other}), "") << other;
        Settings expected = Defaults();
        expected.DataNormal = 0;
        expected.DataNotify = 1;
        EXPECT_EQ(Current(), expected) << other;
    }
}

/* A later -a n never takes the alert back. */
TEST_F(ProcessArgs, AlertIsNeverReset)
{
    EXPECT_EQ(Parse({"-a", "y", "-a", "n"}), "");
    Settings expected = Defaults();
    expected.DataNormal = 0;
    expected.DataNotify = 1;
    expected.DataAlert = 1;
    EXPECT_EQ(Current(), expected);
}

/* -a after -c leaves the counts that -c gave. */
TEST_F(ProcessArgs, AlertAfterCountsKeepsTheCounts)
{
    EXPECT_EQ(Parse({"-c", "3", "-a", "n"}), "");
    Settings expected = Defaults();
    expected.DataNormal = 3;
    EXPECT_EQ(Current(), expected);
}

/* -c after -a replaces the fields it reads and keeps the rest. */
TEST_F(ProcessArgs, CountsAfterAlertReplaceOnlyTheFieldsGiven)
{
    EXPECT_EQ(Parse({"-a", "y", "-c", "3"}), "");
    Settings expected = Defaults();
    expected.DataNormal = 3;
    expected.DataNotify = 1;
    expected.DataAlert = 1;
    EXPECT_EQ(Current(), expected);

    SetUp();
    EXPECT_EQ(Parse({"-a", "y", "-c", "3:2"}), "");
    expected.DataNotify = 2;
    EXPECT_EQ(Current(), expected);
}

/* -c sets the normal and notify counts; a missing notify count keeps its value. */
TEST_F(ProcessArgs, CountsSetNormalAndNotify)
{
    EXPECT_EQ(Parse({"-c", "5:2"}), "");
    Settings expected = Defaults();
    expected.DataNormal = 5;
    expected.DataNotify = 2;
    EXPECT_EQ(Current(), expected);

    SetUp();
    EXPECT_EQ(Parse({"-c", "5:2", "-c", "7"}), "");
    expected.DataNormal = 7;
    EXPECT_EQ(Current(), expected);

    SetUp();
    EXPECT_EQ(Parse({"-c", "5:"}), "");
    expected = Defaults();
    expected.DataNormal = 5;
    EXPECT_EQ(Current(), expected);
}

/* An empty or blank -c changes nothing and is no error. */
TEST_F(ProcessArgs, BlankCountsChangeNothing)
{
    for (const char *blank : {"", "   "}) {
        SetUp();
        EXPECT_EQ(Parse({"-c", blank}), "");
        EXPECT_EQ(Current(), Defaults());
    }
}

/* Even a blank -c keeps a later -a from changing the counts. */
TEST_F(ProcessArgs, BlankCountsStillCountAsGiven)
{
    EXPECT_EQ(Parse({"-c", "", "-a", "y"}), "");
    Settings expected = Defaults();
    expected.DataAlert = 1;
    EXPECT_EQ(Current(), expected);
}

/* -i reads seconds into milliseconds, truncated, and accepts any values. */
TEST_F(ProcessArgs, IntervalSetsBothWaits)
{
    struct Case {
        const char *Text;
        int MinWait;
        int MaxWait;
    };
    const Case cases[] = {
        {"2", 2000, 2000},   {"0.5-2", 500, 2000}, {"1.005", 1004, 1004},      {"abc", 0, 0},
        {"3-1", 3000, 1000}, {"-2", -2000, -2000}, {"1e12", INT_MAX, INT_MAX},
    };
    for (const Case &c : cases) {
        SetUp();
        EXPECT_EQ(Parse({"-i", c.Text}), "") << c.Text;
        Settings expected = Defaults();
        expected.DataMinWait = c.MinWait;
        expected.DataMaxWait = c.MaxWait;
        EXPECT_EQ(Current(), expected) << c.Text;
    }
}

/* -m pads the message id with blanks to 23 characters and ends it with a zero byte. */
TEST_F(ProcessArgs, MessageIdIsPaddedTo23)
{
    EXPECT_EQ(Parse({"-m", "abc"}), "");
    Settings expected = Defaults();
    expected.DataMsgId = "abc" + std::string(20, ' ') + std::string(1, '\0');
    EXPECT_EQ(Current(), expected);

    SetUp();
    EXPECT_EQ(Parse({"-m", ""}), "");
    expected.DataMsgId = std::string(23, ' ') + std::string(1, '\0');
    EXPECT_EQ(Current(), expected);
}

/* -s within the limits sets both sizes and writes nothing. */
TEST_F(ProcessArgs, SizesFromTheMinimumUpPass)
{
    struct Case {
        const char *Text;
        int MinSize;
        int MaxSize;
    };
    const Case cases[] = {{"300", 300, 300}, {"256-256", 256, 256}, {"300-400", 300, 400}};
    for (const Case &c : cases) {
        SetUp();
        EXPECT_EQ(Parse({"-s", c.Text}), "") << c.Text;
        Settings expected = Defaults();
        expected.DataMinSize = c.MinSize;
        expected.DataMaxSize = c.MaxSize;
        EXPECT_EQ(Current(), expected) << c.Text;
    }
}

/* -t takes any text; one without a number gives 0. */
TEST_F(ProcessArgs, TimeoutTakesTheLeadingInteger)
{
    struct Case {
        const char *Text;
        int Timeout;
    };
    const Case cases[] = {{"5", 5}, {"abc", 0}, {"-3", -3}, {"12s", 12}};
    for (const Case &c : cases) {
        SetUp();
        EXPECT_EQ(Parse({"-t", c.Text}), "") << c.Text;
        Settings expected = Defaults();
        expected.DataTimeout = c.Timeout;
        EXPECT_EQ(Current(), expected) << c.Text;
    }
}

/* An option given twice applies twice; the later value wins. */
TEST_F(ProcessArgs, LaterOptionWins)
{
    EXPECT_EQ(Parse({"-t", "5", "-t9", "-i", "1", "-i", "2-3"}), "");
    Settings expected = Defaults();
    expected.DataTimeout = 9;
    expected.DataMinWait = 2000;
    expected.DataMaxWait = 3000;
    EXPECT_EQ(Current(), expected);
}

/* -p and -q are flags, alone or in a cluster. */
TEST_F(ProcessArgs, PauseAndQuietAreFlags)
{
    EXPECT_EQ(Parse({"-pq"}), "");
    Settings expected = Defaults();
    expected.Popups = 1;
    expected.DataQuiet = 1;
    EXPECT_EQ(Current(), expected);
}

/* Up to three positional arguments name the element and the profiles; more are ignored. */
TEST_F(ProcessArgs, PositionalArgumentsNameElementAndProfiles)
{
    EXPECT_EQ(Parse({"Elem", "P", "G", "extra"}), "");
    Settings expected = Defaults();
    expected.ElementName = "Elem";
    expected.PutProfile = "P";
    expected.GetProfile = "G";
    EXPECT_EQ(Current(), expected);
}

/* The settings point at the argument texts themselves. */
TEST_F(ProcessArgs, PositionalSettingsPointAtTheArguments)
{
    EXPECT_EQ(Parse({"-q", "Elem", "P", "G"}), "");
    EXPECT_EQ(ElementName, Arg(2));
    EXPECT_EQ(PutProfile, Arg(3));
    EXPECT_EQ(GetProfile, Arg(4));
}

/* An option after the first positional argument is a positional argument. */
TEST_F(ProcessArgs, OptionAfterAPositionalIsPositional)
{
    EXPECT_EQ(Parse({"Elem", "-q", "-x"}), "");
    Settings expected = Defaults();
    expected.ElementName = "Elem";
    expected.PutProfile = "-q";
    expected.GetProfile = "-x";
    EXPECT_EQ(Current(), expected);
}

/* After "--" an option-like argument is the element name. */
TEST_F(ProcessArgs, DoubleDashMakesTheRestPositional)
{
    EXPECT_EQ(Parse({"-p", "--", "-q"}), "");
    Settings expected = Defaults();
    expected.Popups = 1;
    expected.ElementName = "-q";
    EXPECT_EQ(Current(), expected);
}

/* A lone "-" is the first positional argument. */
TEST_F(ProcessArgs, LoneDashIsPositional)
{
    EXPECT_EQ(Parse({"-", "-h"}), "");
    Settings expected = Defaults();
    expected.ElementName = "-";
    expected.PutProfile = "-h";
    EXPECT_EQ(Current(), expected);
}

/* Options and positional arguments together. */
TEST_F(ProcessArgs, FullCommandLineSetsEverything)
{
    EXPECT_EQ(Parse({"-a", "y", "-c", "3:2", "-i", "0.5-2", "-s", "300-400", "-t", "5", "-m", "id",
                     "-p", "-q", "Elem", "P", "G"}),
              "");
    Settings expected;
    expected.ElementName = "Elem";
    expected.PutProfile = "P";
    expected.GetProfile = "G";
    expected.DataTimeout = 5;
    expected.DataMinWait = 500;
    expected.DataMaxWait = 2000;
    expected.DataMinSize = 300;
    expected.DataMaxSize = 400;
    expected.DataNormal = 3;
    expected.DataNotify = 2;
    expected.DataMsgId = "id" + std::string(21, ' ') + std::string(1, '\0');
    expected.DataAlert = 1;
    expected.DataQuiet = 1;
    expected.Popups = 1;
    EXPECT_EQ(Current(), expected);
}

/* A usage error ends the process with exit code 2 even when a later option is valid. */
TEST_F(ProcessArgs, EarlierUsageErrorStillEndsTheProcess)
{
    ExpectExit({"-c", "x", "-c", "5"}, 2, UsageText);
    ExpectExit({"-s", "100", "-s", "300"}, 2, "Minimum Data size is 256\n" + UsageText);
}

/* A help request ends the process with exit code 0, usage errors or not. */
TEST_F(ProcessArgs, HelpWinsOverUsageErrors)
{
    ExpectExit({"-h"}, 0, UsageText);
    ExpectExit({"-c", "x", "-s", "100", "-?"}, 0, "Minimum Data size is 256\n" + UsageText);
}

} // namespace
