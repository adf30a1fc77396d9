#include "client/reports/SummaryReport.h"

#include <cstdio>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "client/values/FigureText.h"
#include "client/results/RunVocabulary.h"

namespace {

std::string ServerLines(const ServerView &server)
{
    testing::internal::CaptureStdout();
    PrintServerLines(stdout, server);
    (void)fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

/* With nothing sent the lines read as the server's do for an empty run. */
TEST(SummaryReport, ServerLinesOfAnEmptyRun)
{
    EXPECT_EQ(ServerLines(ServerView{}),
              "Transactions = 0, Datagrams = 0, Total = 0\n"
              "Sent Data size (bytes) min/avg/max/total = 999999/0/0/0\n");
}

/* Counts and sizes with the server's arithmetic: integer average, 32 bits. */
TEST(SummaryReport, ServerLinesUseTheServersArithmetic)
{
    ServerView server;
    server.Count(100, true);
    server.Count(201, false);
    server.Count(4294967295u, true);
    EXPECT_EQ(ServerLines(server), "Transactions = 2, Datagrams = 1, Total = 3\n"
                                   "Sent Data size (bytes) min/avg/max/total = 100/100/-1/300\n");
}

struct LatencyCase {
    double Ns;
    const char *Text;
};

/* Names the case by its value in test listings. */
void PrintTo(const LatencyCase &c, std::ostream *out)
{
    *out << c.Ns << " ns";
}

class LatencyTexts : public testing::TestWithParam<LatencyCase> {};

/* Latencies read with a unit and three significant digits. */
TEST_P(LatencyTexts, HaveAUnitAndThreeDigits)
{
    EXPECT_EQ(LatencyText(GetParam().Ns), GetParam().Text);
}

INSTANTIATE_TEST_SUITE_P(Table, LatencyTexts,
                         testing::Values(LatencyCase{0, "0ns"}, LatencyCase{850, "850ns"},
                                         LatencyCase{999.4, "999ns"}, LatencyCase{999.6, "1.00us"},
                                         LatencyCase{12345, "12.3us"}, LatencyCase{123456, "123us"},
                                         LatencyCase{999960, "1.00ms"},
                                         LatencyCase{1234567, "1.23ms"},
                                         LatencyCase{2.5e9, "2.50s"},
                                         LatencyCase{3.6e12, "3600s"}));

/* Each way a run can end has a short name for the JSON output. */
TEST(SummaryReport, EndReasonsHaveNames)
{
    EXPECT_STREQ(EndReasonName(EndReason::Count), "count");
    EXPECT_STREQ(EndReasonName(EndReason::Duration), "duration");
    EXPECT_STREQ(EndReasonName(EndReason::Interrupt), "interrupt");
    EXPECT_STREQ(EndReasonName(EndReason::Silence), "silence");
    EXPECT_STREQ(EndReasonName(EndReason::Blocked), "blocked");
    EXPECT_STREQ(EndReasonName(EndReason::ServiceGone), "service gone");
    EXPECT_STREQ(EndReasonName(EndReason::Failure), "failure");
}

} // namespace
