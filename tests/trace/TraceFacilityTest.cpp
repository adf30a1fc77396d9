#include "trace/TraceControl.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/Subprocess.h"
#include "tests/trace/TraceCapture.h"
#include "trace/Trc1.h"

namespace {

using RecordList = std::vector<std::string>;
using TraceFacility = tfxtest::TraceCapture;

TRC1_FunctionBlock AlphaBlock()
{
    return TraceFunction(tfxtest::TestTrace, "Alpha", 100);
}

/* Event records name the component, the source file, the function, the line
 * and the kind. */
TEST_F(TraceFacility, WritesEventRecords)
{
    TRC1_FunctionBlock block = AlphaBlock();
    TRC1_Event(&block, 100, TRC1_ENTRY);
    TRC1_Event(&block, 120, TRC1_EXIT);
    TRC1_Event(&block, 130, 7);
    EXPECT_EQ(Records,
              (RecordList{"TST testunit.cpp Alpha 100 entry", "TST testunit.cpp Alpha 120 exit",
                          "TST testunit.cpp Alpha 130 event 7"}));
}

/* The opening words of the format make an argument or a detail record; any
 * other format makes a plain text record. */
TEST_F(TraceFacility, WritesTextRecordsOfTheirKind)
{
    TRC1_FunctionBlock block = AlphaBlock();
    TRC1_Printf(&block, 100, "Args - %s", "(1, 2)");
    TRC1_Printf(&block, 110, "!!! - %s", "a detail");
    TRC1_Printf(&block, 111, "count %d of %s", 3, "five");
    TRC1_Printf(&block, 112, "!!! - %s", "");
    EXPECT_EQ(Records, (RecordList{"TST testunit.cpp Alpha 100 args (1, 2)",
                                   "TST testunit.cpp Alpha 110 detail a detail",
                                   "TST testunit.cpp Alpha 111 text count 3 of five",
                                   "TST testunit.cpp Alpha 112 detail"}));
}

/* Formatted text, with "%#p" written as "%p" writes it. */
TEST(QlxFormatArgs, FormatsLikePrintfWithPointersAsAddresses)
{
    int value = 0;
    struct Freed {
        void operator()(char *text) const { qlxFreeFormatMem(text); }
    };
    auto format = [](auto... values) {
        return std::unique_ptr<char, Freed>(qlxFormatArgs(values...));
    };
    EXPECT_STREQ(format("(%X, %#p, %X)", 0x2040000u, &value, 10u).get(),
                 ("(2040000, " + tfxtest::Address(&value) + ", A)").c_str());
    EXPECT_STREQ(format("%#p|%p", static_cast<void *>(nullptr), &value).get(),
                 ("(nil)|" + tfxtest::Address(&value)).c_str());
    EXPECT_STREQ(format("100%% %%#p %s", "sure").get(), "100% %#p sure");
    EXPECT_STREQ(format("[%-#20p]", &value).get(),
                 ("[" + tfxtest::Address(&value) +
                  std::string(20 - tfxtest::Address(&value).size(), ' ') + "]")
                     .c_str());
    EXPECT_STREQ(format("trailing %").get(), "trailing %");
    EXPECT_STREQ(format("cut %-5").get(), "cut %-5");
    EXPECT_EQ(qlxFormatArgs(nullptr), nullptr);
    qlxFreeFormatMem(nullptr);
}

struct SettingCase {
    const char *Value; /* of QLX_TRACE; null = unset */
    uint32_t Control;  /* qlxOptTrcCtrl afterwards */
    uint32_t Mask;     /* the class mask in force */
};

void PrintTo(const SettingCase &c, std::ostream *out)
{
    *out << "QLX_TRACE=" << (c.Value != nullptr ? testing::PrintToString(c.Value) : "(unset)");
}

class TraceSettings : public tfxtest::TraceCaptureWithParam<SettingCase> {};

/* QLX_TRACE names the class mask as a C number; tracing is off without it,
 * and off for anything that is not a 32-bit number. */
TEST_P(TraceSettings, ComeFromQlxTrace)
{
    const SettingCase &c = GetParam();
    if (c.Value != nullptr) {
        ASSERT_EQ(setenv("QLX_TRACE", c.Value, 1), 0);
    }
    qlxInitOptTrcCtrl();
    TRC1_FunctionBlock block = AlphaBlock();
    EXPECT_EQ(qlxOptTrcCtrl, c.Control);
    EXPECT_EQ(TRC1_Sync(&block), c.Mask);
}

INSTANTIATE_TEST_SUITE_P(QlxTrace, TraceSettings,
                         testing::Values(SettingCase{nullptr, 0, 0}, SettingCase{"", 0, 0},
                                         SettingCase{"0", 0, 0},
                                         SettingCase{"0x40000841", 1, 0x40000841},
                                         SettingCase{"0X40", 1, 0x40}, SettingCase{"64", 1, 64},
                                         SettingCase{"0xFFFFFFFF", 1, 0xFFFFFFFF},
                                         SettingCase{"0x100000000", 0, 0}, SettingCase{"-1", 0, 0},
                                         SettingCase{"all", 0, 0}, SettingCase{"0x40 ", 0, 0}));

/* A class mask set by the program wins over QLX_TRACE. */
TEST_F(TraceFacility, ClassSetByTheProgramWinsOverTheEnvironment)
{
    ASSERT_EQ(setenv("QLX_TRACE", "0x40", 1), 0);
    qlxSetTraceClass(0x40000841);
    qlxInitOptTrcCtrl();
    TRC1_FunctionBlock block = AlphaBlock();
    EXPECT_EQ(qlxOptTrcCtrl, TRC1_CTRL_ON);
    EXPECT_EQ(TRC1_Sync(&block), 0x40000841u);
}

/* Syncing a block the first time reads the settings that were not read yet. */
TEST_F(TraceFacility, SyncReadsSettingsNotYetRead)
{
    ASSERT_EQ(setenv("QLX_TRACE", "0x41", 1), 0);
    TRC1_FunctionBlock block = AlphaBlock();
    EXPECT_EQ(TRC1_Sync(&block), 0x41u);
    EXPECT_EQ(qlxOptTrcCtrl, TRC1_CTRL_ON);
}

/* A reset returns the facility to its start: settings unread, and the records
 * no longer go to the sink. */
TEST_F(TraceFacility, ResetForgetsClassAndSink)
{
    qlxSetTraceClass(0x40);
    qlxResetTrace();
    EXPECT_EQ(qlxOptTrcCtrl, TRC1_CTRL_RELOAD);
    qlxInitOptTrcCtrl();
    EXPECT_EQ(qlxOptTrcCtrl, 0u);

    tfxtest::TempDir dir;
    ASSERT_EQ(setenv("QLX_TRACE_FILE", (dir.Path() + "/trace.log").c_str(), 1), 0);
    TRC1_FunctionBlock block = AlphaBlock();
    TRC1_Event(&block, 100, TRC1_ENTRY);
    qlxResetTrace();
    EXPECT_EQ(Records, RecordList{});
    EXPECT_EQ(tfxtest::ReadFile(dir.Path() + "/trace.log"), "TST testunit.cpp Alpha 100 entry\n");
}

/* Without a sink, records are appended to QLX_TRACE_FILE, one line each. */
TEST_F(TraceFacility, AppendsRecordsToTheTraceFile)
{
    tfxtest::TempDir dir;
    const std::string path = dir.Path() + "/trace.log";
    ASSERT_EQ(setenv("QLX_TRACE_FILE", path.c_str(), 1), 0);
    qlxSetTraceSink(nullptr, nullptr);
    TRC1_FunctionBlock block = AlphaBlock();
    TRC1_Event(&block, 100, TRC1_ENTRY);
    TRC1_Printf(&block, 110, "!!! - %s", "middle");
    EXPECT_EQ(tfxtest::ReadFile(path),
              "TST testunit.cpp Alpha 100 entry\nTST testunit.cpp Alpha 110 detail middle\n");
    qlxResetTrace();
    TRC1_Event(&block, 120, TRC1_EXIT);
    EXPECT_EQ(tfxtest::ReadFile(path), "TST testunit.cpp Alpha 100 entry\n"
                                       "TST testunit.cpp Alpha 110 detail middle\n"
                                       "TST testunit.cpp Alpha 120 exit\n");
}

} // namespace
