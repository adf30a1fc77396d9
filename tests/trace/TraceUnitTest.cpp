#include "trace/TraceUnit.h"

#include <array>
#include <cstring>
#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <vector>

#include "tests/trace/TraceCapture.h"

extern "C" void TestUnitBuildMarker(void) {}

namespace tfxtest {
constinit TraceUnit TestTrace = {
    .Block = TraceUnitBlock("testunit.cpp", "Jan  1 2000", "00:00:00", "\"$Revision: 1.0 $\"",
                            "TST", TestUnitBuildMarker),
    .Generation = 1,
    .LocalCtrl = TRC1_CTRL_RELOAD,
    .Current = {},
};
} // namespace tfxtest

namespace {

using tfxtest::TestTrace;
using RecordList = std::vector<std::string>;

/* A traced function of the test unit: entry line 100, one detail line at 110,
 * exit at 120. */
void Alpha(TRC1_FunctionBlock &block, int value)
{
    TraceEntry(TestTrace, block, "(%d, %s)", value, "seven");
    TraceDetail(TestTrace, 110, "value %X", static_cast<unsigned>(value));
    TraceExit(TestTrace, 120);
}

template <size_t N> std::array<uintptr_t, N> Words(const void *block)
{
    std::array<uintptr_t, N> words;
    memcpy(words.data(), block, sizeof words);
    return words;
}

template <typename T> uintptr_t Word(T *pointer)
{
    return reinterpret_cast<uintptr_t>(pointer);
}

/* A function block starts as its fixed image: unit block, name and its
 * length, entry line, the unit's generation word, 0x40000840, then zeros. */
TEST(TraceFunction, BuildsTheFunctionBlockImage)
{
    static const char name[] = "Alpha";
    const TRC1_FunctionBlock block = TraceFunction(TestTrace, name, 100);
    EXPECT_EQ(Words<10>(&block),
              (std::array<uintptr_t, 10>{Word(&TestTrace.Block), Word(name), 5, 100,
                                         Word(&TestTrace.Generation), 0x40000840, 0, 0, 0, 0}));
}

/* The unit block holds the identity of the unit, each text with its length. */
TEST(TraceUnitBlock, BuildsTheUnitBlockImage)
{
    const TRC1_UnitBlock &block = TestTrace.Block;
    EXPECT_EQ(Words<15>(&block), (std::array<uintptr_t, 15>{
                                     180, 0x40000000, Word(block.File), 12, Word(block.Date), 11,
                                     Word(block.Time), 8, Word(block.Revision), 18,
                                     Word(block.Component), 3, 0, 0, Word(&TestUnitBuildMarker)}));
    EXPECT_EQ(std::string(block.File, block.FileLength), "testunit.cpp");
    EXPECT_EQ(std::string(block.Revision, block.RevisionLength), "\"$Revision: 1.0 $\"");
    EXPECT_EQ(std::string(block.Component, block.ComponentLength), "TST");
}

using TraceSteps = tfxtest::TraceCapture;

/* With every class on, a traced function leaves its entry, arguments, details
 * and exit, in that order and at their own lines. */
TEST_F(TraceSteps, WriteEntryArgumentsDetailsAndExitInOrder)
{
    TRC1_FunctionBlock block = TraceFunction(TestTrace, "Alpha", 100);
    qlxSetTraceClass(0x40000841);
    Alpha(block, 26);
    EXPECT_EQ(Records, (RecordList{"TST testunit.cpp Alpha 100 entry",
                                   "TST testunit.cpp Alpha 100 args (26, seven)",
                                   "TST testunit.cpp Alpha 110 detail value 1A",
                                   "TST testunit.cpp Alpha 120 exit"}));
}

struct ClassCase {
    uint32_t Mask;
    RecordList Expected;
};

void PrintTo(const ClassCase &c, std::ostream *out)
{
    *out << "class 0x" << std::hex << std::uppercase << c.Mask;
}

class TraceClasses : public tfxtest::TraceCaptureWithParam<ClassCase> {};

/* Entry and exit need class 0x40, details all of 0x40000041, arguments all of
 * 0x40000841. */
TEST_P(TraceClasses, SelectTheRecordsOfAFunction)
{
    TRC1_FunctionBlock block = TraceFunction(TestTrace, "Alpha", 100);
    qlxSetTraceClass(GetParam().Mask);
    Alpha(block, 3);
    EXPECT_EQ(Records, GetParam().Expected);
}

const char *const Entry = "TST testunit.cpp Alpha 100 entry";
const char *const Args = "TST testunit.cpp Alpha 100 args (3, seven)";
const char *const Detail = "TST testunit.cpp Alpha 110 detail value 3";
const char *const Exit = "TST testunit.cpp Alpha 120 exit";

INSTANTIATE_TEST_SUITE_P(TraceSteps, TraceClasses,
                         testing::Values(ClassCase{0, {}}, ClassCase{0x40, {Entry, Exit}},
                                         ClassCase{0x41, {Entry, Exit}},
                                         ClassCase{0x841, {Entry, Exit}},
                                         ClassCase{0x40000040, {Entry, Exit}},
                                         ClassCase{0x40000041, {Entry, Detail, Exit}},
                                         ClassCase{0x40000801, {}},
                                         ClassCase{0x40000841, {Entry, Args, Detail, Exit}},
                                         ClassCase{0xFFFFFFFF, {Entry, Args, Detail, Exit}}));

/* A unit whose own control word holds neither bit traces nothing and leaves
 * the library's control word unread. */
TEST_F(TraceSteps, UnitSwitchedOffNeverAsksTheFacility)
{
    TRC1_FunctionBlock block = TraceFunction(TestTrace, "Alpha", 100);
    TestTrace.LocalCtrl = 0;
    Alpha(block, 1);
    EXPECT_EQ(Records, RecordList{});
    EXPECT_EQ(qlxOptTrcCtrl, TRC1_CTRL_RELOAD);
    EXPECT_EQ(block.Snapshot, 0u);
}

/* The first traced entry has the library read its settings, and the unit
 * takes the library's control word as its own. */
TEST_F(TraceSteps, FirstEntryReadsTheSettings)
{
    TRC1_FunctionBlock block = TraceFunction(TestTrace, "Alpha", 100);
    ASSERT_EQ(setenv("QLX_TRACE", "0x40", 1), 0);
    Alpha(block, 1);
    EXPECT_EQ(qlxOptTrcCtrl, TRC1_CTRL_ON);
    EXPECT_EQ(TestTrace.LocalCtrl, TRC1_CTRL_ON);
    EXPECT_EQ(Records, (RecordList{Entry, Exit}));
}

/* Once a unit has taken "off" it stays off: a later change of the library's
 * word does not reach it. */
TEST_F(TraceSteps, UnitKeepsTheControlWordItTook)
{
    TRC1_FunctionBlock block = TraceFunction(TestTrace, "Alpha", 100);
    qlxSetTraceClass(0);
    Alpha(block, 1);
    qlxSetTraceClass(0x40000841);
    Alpha(block, 1);
    EXPECT_EQ(TestTrace.LocalCtrl, 0u);
    EXPECT_EQ(Records, RecordList{});
}

/* The first traced entry caches the class mask in the function's block. */
TEST_F(TraceSteps, FirstEntryCachesTheClassInTheBlock)
{
    TRC1_FunctionBlock block = TraceFunction(TestTrace, "Alpha", 100);
    qlxSetTraceClass(0x40000041);
    Alpha(block, 1);
    EXPECT_EQ(block.Class, 0x40000041u);
    EXPECT_NE(block.Generation, &TestTrace.Generation);
    EXPECT_EQ(block.Snapshot, *block.Generation);
}

/* A new class mask reaches a function that cached the old one. */
TEST_F(TraceSteps, NewClassReachesAFunctionThatCachedTheOld)
{
    TRC1_FunctionBlock block = TraceFunction(TestTrace, "Alpha", 100);
    qlxSetTraceClass(0x40);
    Alpha(block, 3);
    qlxSetTraceClass(0x40000841);
    Alpha(block, 3);
    EXPECT_EQ(Records, (RecordList{Entry, Exit, Entry, Args, Detail, Exit}));
}

/* Detail lines and the exit event belong to the function whose entry came
 * last: the unit's current record. */
TEST_F(TraceSteps, DetailsAndExitNameTheLastEnteredFunction)
{
    TRC1_FunctionBlock alpha = TraceFunction(TestTrace, "Alpha", 100);
    TRC1_FunctionBlock beta = TraceFunction(TestTrace, "Beta", 200);
    qlxSetTraceClass(0x40000041);
    TraceEntry(TestTrace, alpha, "()");
    TraceEntry(TestTrace, beta, "()");
    TraceDetail(TestTrace, 210, "%s", "in beta");
    TraceExit(TestTrace, 220);
    EXPECT_EQ(Records, (RecordList{Entry, "TST testunit.cpp Beta 200 entry",
                                   "TST testunit.cpp Beta 210 detail in beta",
                                   "TST testunit.cpp Beta 220 exit"}));
}

/* Pointers are written as %p writes them, with or without the '#' flag. */
TEST_F(TraceSteps, ArgumentsShowPointersAsAddresses)
{
    TRC1_FunctionBlock block = TraceFunction(TestTrace, "Alpha", 100);
    qlxSetTraceClass(0x40000841);
    int value = 0;
    const char *text = "t";
    TraceEntry(TestTrace, block, "(%#p, %p, %#p)", &value, text, static_cast<void *>(nullptr));
    EXPECT_EQ(Records,
              (RecordList{Entry, "TST testunit.cpp Alpha 100 args (" + tfxtest::Address(&value) +
                                     ", " + tfxtest::Address(text) + ", (nil))"}));
}

} // namespace
