#include "trace/TfxanutlTrace.h"

#include <array>
#include <functional>
#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <vector>

#include "tests/trace/TraceCapture.h"
#include "util/PlatformName.h"
#include "util/ThemeId.h"
#include "util/Timestamp.h"

namespace {

using RecordList = std::vector<std::string>;
using tfxtest::Address;
using ThemeId = std::array<unsigned char, 24>;

const uint32_t EveryClass = 0x40000841;

/* The unit block of tfxanutl: component TFX, source file tfxanutl.cpp, compile
 * date and time, revision keyword, and the unit's build marker. */
TEST(TfxanutlTrace, UnitBlockIdentifiesTheUnit)
{
    const TRC1_UnitBlock &block = TfxanutlTrace.Block;
    EXPECT_EQ(block.Kind, 180u);
    EXPECT_EQ(block.Flags, 0x40000000u);
    EXPECT_EQ(std::string(block.File, block.FileLength), "tfxanutl.cpp");
    EXPECT_EQ(block.DateLength, 11u);
    EXPECT_EQ(block.TimeLength, 8u);
    EXPECT_EQ(std::string(block.Revision, block.RevisionLength), "\"$Revision: 1.0 $\"");
    EXPECT_EQ(std::string(block.Component, block.ComponentLength), "TFX");
    EXPECT_EQ(block.Reserved12, 0u);
    EXPECT_EQ(block.Reserved13, 0u);
    EXPECT_EQ(block.BuildMarker, &tfxanutl_BuildMarker);
    EXPECT_EQ(TfxanutlTrace.Generation, 1u);
}

using TfxanutlRecords = tfxtest::TraceCapture;

/* TimePrint: entry and arguments at 56, the labelled timestamp at 60, exit at
 * 62. */
TEST_F(TfxanutlRecords, TimePrintWritesTheLabelledTimestamp)
{
    qlxSetTraceClass(EveryClass);
    const char *label = "Started at %s.";
    const TimeValue t{946684799, 999};
    TimePrint(label, &t);
    EXPECT_EQ(Records,
              (RecordList{"TFX tfxanutl.cpp TimePrint 56 entry",
                          "TFX tfxanutl.cpp TimePrint 56 args (" + Address(label) + ", " +
                              Address(&t) + ")",
                          "TFX tfxanutl.cpp TimePrint 60 detail Started at 0991231235959999.",
                          "TFX tfxanutl.cpp TimePrint 62 exit"}));
}

/* EnvToString: entry and arguments at 825, exit at 865, no details; the field
 * is filled as without tracing. */
TEST_F(TfxanutlRecords, EnvToStringWritesEntryArgumentsAndExit)
{
    qlxSetTraceClass(EveryClass);
    char dest[11];
    memset(dest, '#', sizeof dest);
    EnvToString(0x02040000, dest, 10);
    EXPECT_EQ(std::string(dest, 11), "Unix Sun  #");
    EXPECT_EQ(Records, (RecordList{"TFX tfxanutl.cpp EnvToString 825 entry",
                                   "TFX tfxanutl.cpp EnvToString 825 args (2040000, " +
                                       Address(dest) + ", A)",
                                   "TFX tfxanutl.cpp EnvToString 865 exit"}));
}

/* An unknown code takes the same road: its exit is written too. */
TEST_F(TfxanutlRecords, EnvToStringWritesItsExitForUnknownCodes)
{
    qlxSetTraceClass(0x40);
    char dest[4];
    EnvToString(0x12345678, dest, 4);
    EXPECT_EQ(Records, (RecordList{"TFX tfxanutl.cpp EnvToString 825 entry",
                                   "TFX tfxanutl.cpp EnvToString 865 exit"}));
}

/* PrintThemeId: entry and arguments at 747, the identifier's text at 751,
 * exit at 752. */
TEST_F(TfxanutlRecords, PrintThemeIdWritesTheIdentifierText)
{
    qlxSetTraceClass(EveryClass);
    ThemeId id{0x01, 0xAB, 0xFF};
    PrintThemeId(id.data());
    EXPECT_EQ(Records,
              (RecordList{"TFX tfxanutl.cpp PrintThemeId 747 entry",
                          "TFX tfxanutl.cpp PrintThemeId 747 args (" + Address(id.data()) + ")",
                          "TFX tfxanutl.cpp PrintThemeId 751 detail Theme Id: 01ABFF" +
                              std::string(42, '0'),
                          "TFX tfxanutl.cpp PrintThemeId 752 exit"}));
}

/* CompareThemeId: entry and arguments at 768, both identifiers at 772 and
 * 775, the result at 778, and no exit event. */
TEST_F(TfxanutlRecords, CompareThemeIdEndsWithItsResultAndNoExit)
{
    qlxSetTraceClass(EveryClass);
    ThemeId id1{0x80};
    ThemeId id2{0x7F, 0xFF};
    int result = CompareThemeId(id1.data(), id2.data());
    EXPECT_GT(result, 0);
    char exitText[16];
    snprintf(exitText, sizeof exitText, "%X", static_cast<unsigned>(result));
    EXPECT_EQ(
        Records,
        (RecordList{
            "TFX tfxanutl.cpp CompareThemeId 768 entry",
            "TFX tfxanutl.cpp CompareThemeId 768 args (" + Address(id1.data()) + ", " +
                Address(id2.data()) + ")",
            "TFX tfxanutl.cpp CompareThemeId 772 detail Theme Id 1: 80" + std::string(46, '0'),
            "TFX tfxanutl.cpp CompareThemeId 775 detail Theme Id 2: 7FFF" + std::string(44, '0'),
            "TFX tfxanutl.cpp CompareThemeId 778 detail Exit with " + std::string(exitText)}));
}

/* A negative result is written as its 32-bit pattern. */
TEST_F(TfxanutlRecords, CompareThemeIdWritesANegativeResultInHex)
{
    qlxSetTraceClass(0x40000041);
    ThemeId id1{0x00};
    ThemeId id2{0x01};
    int result = CompareThemeId(id1.data(), id2.data());
    ASSERT_LT(result, 0);
    char exitText[16];
    snprintf(exitText, sizeof exitText, "%X", static_cast<unsigned>(result));
    ASSERT_EQ(Records.size(), 4u);
    EXPECT_EQ(Records[3],
              "TFX tfxanutl.cpp CompareThemeId 778 detail Exit with " + std::string(exitText));
    EXPECT_EQ(exitText[0], 'F');
}

/* A trace of entry and exit events alone shows CompareThemeId's entry alone. */
TEST_F(TfxanutlRecords, CompareThemeIdShowsOnlyItsEntryAmongEvents)
{
    qlxSetTraceClass(0x40);
    ThemeId id{};
    (void)CompareThemeId(id.data(), id.data());
    EXPECT_EQ(Records, RecordList{"TFX tfxanutl.cpp CompareThemeId 768 entry"});
}

/* The instrumented functions of the unit share one current record: an exit
 * names the function that was entered last. */
TEST_F(TfxanutlRecords, FunctionsInSeveralFilesShareTheUnitsRecord)
{
    qlxSetTraceClass(0x40);
    ThemeId id{};
    char dest[8];
    const TimeValue t{0, 0};
    PrintThemeId(id.data());
    EnvToString(0x01010000, dest, sizeof dest);
    TimePrint("%s", &t);
    EXPECT_EQ(Records, (RecordList{"TFX tfxanutl.cpp PrintThemeId 747 entry",
                                   "TFX tfxanutl.cpp PrintThemeId 752 exit",
                                   "TFX tfxanutl.cpp EnvToString 825 entry",
                                   "TFX tfxanutl.cpp EnvToString 865 exit",
                                   "TFX tfxanutl.cpp TimePrint 56 entry",
                                   "TFX tfxanutl.cpp TimePrint 62 exit"}));
}

struct Instrumented {
    const char *Name;
    std::function<void()> Call;
};

void PrintTo(const Instrumented &c, std::ostream *out)
{
    *out << c.Name;
}

void PrintTheme()
{
    ThemeId id{1, 2, 3};
    PrintThemeId(id.data());
}

void CompareThemes()
{
    ThemeId id1{1};
    ThemeId id2{2};
    (void)CompareThemeId(id1.data(), id2.data());
}

void PrintTime()
{
    const TimeValue t{946684800, 5};
    TimePrint("at %s", &t);
}

void NamePlatform()
{
    char dest[16];
    EnvToString(0x04010000, dest, sizeof dest);
}

class TracingOff : public tfxtest::TraceCaptureWithParam<Instrumented> {};

/* With the class mask 0, an instrumented function writes nothing at all. */
TEST_P(TracingOff, LeavesNoRecordWhenTheClassIsZero)
{
    qlxSetTraceClass(0);
    GetParam().Call();
    EXPECT_EQ(Records, RecordList{});
}

/* Without QLX_TRACE, tracing is off: nothing at all is written. */
TEST_P(TracingOff, LeavesNoRecordWithoutQlxTrace)
{
    GetParam().Call();
    EXPECT_EQ(Records, RecordList{});
    EXPECT_EQ(TfxanutlTrace.LocalCtrl, 0u);
}

/* A class without the flow bit writes no record either. */
TEST_P(TracingOff, LeavesNoRecordWithoutTheFlowClass)
{
    qlxSetTraceClass(0xFFFFFFFF & ~0x40u);
    GetParam().Call();
    EXPECT_EQ(Records, RecordList{});
}

INSTANTIATE_TEST_SUITE_P(TfxanutlRecords, TracingOff,
                         testing::Values(Instrumented{"TimePrint", PrintTime},
                                         Instrumented{"EnvToString", NamePlatform},
                                         Instrumented{"PrintThemeId", PrintTheme},
                                         Instrumented{"CompareThemeId", CompareThemes}),
                         [](const testing::TestParamInfo<Instrumented> &info) {
                             return std::string(info.param.Name);
                         });

} // namespace
