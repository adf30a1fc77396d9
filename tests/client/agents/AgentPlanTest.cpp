#include "client/agents/AgentPlan.h"
#include "client/values/ValueParsing.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

/* -n and -r split evenly, the first agents taking one message more; -k, -w
 * and the rest apply to each agent as given. */
TEST(AgentShare, SplitsCountAndRateEvenly)
{
    ClientSettings whole;
    whole.Count = 10;
    whole.Rate = 900.0;
    whole.Connections = 4;
    whole.JsonPath = "whole.json";
    std::vector<uint64_t> counts;
    for (uint32_t index = 0; index < 3; ++index) {
        ClientSettings share = AgentShare(whole, 3, index);
        counts.push_back(share.Count);
        EXPECT_EQ(share.Rate, 300.0);
        EXPECT_EQ(share.Connections, 4u);
        EXPECT_EQ(share.JsonPath, "");
    }
    EXPECT_EQ(counts, (std::vector<uint64_t>{4, 3, 3}));
}

struct GroupCase {
    const char *Text;
    bool Valid;
    const char *Group;
    uint32_t Agents;
};

class AgentCounts : public testing::TestWithParam<GroupCase> {};

/* -D takes group:agents, a group of subject-safe characters. */
TEST_P(AgentCounts, ReadOrRefuse)
{
    const GroupCase &c = GetParam();
    std::string group = "unset";
    uint32_t agents = 0;
    EXPECT_EQ(ParseAgentCount(c.Text, &group, &agents), c.Valid);
    std::string expected =
        c.Valid ? std::string(c.Group) + ":" + std::to_string(c.Agents) : "unset:0";
    EXPECT_EQ(group + ":" + std::to_string(agents), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AgentCounts,
    testing::Values(GroupCase{"lab:3", true, "lab", 3},
                    GroupCase{"a-b_9:1000", true, "a-b_9", 1000}, GroupCase{"lab:0", false, "", 0},
                    GroupCase{"lab:1001", false, "", 0}, GroupCase{"lab", false, "", 0},
                    GroupCase{":3", false, "", 0}, GroupCase{"a.b:3", false, "", 0},
                    GroupCase{"a*:3", false, "", 0}));

/* A plan read back gives the settings it was written from. */
TEST(Plan, ReadsBackWhatWasWritten)
{
    ClientSettings sent;
    sent.Element = "E7";
    sent.Connections = 3;
    sent.Window = 16;
    sent.Rate = 250.5;
    sent.CountLimited = false;
    sent.Duration = 2.5;
    sent.SizeMin = 10;
    sent.SizeMax = 90;
    sent.Warmup = 1.0;
    sent.Verify = true;
    sent.Percentiles = {50.0, 99.99};
    ClientSettings read;
    uint64_t seed = 0;
    std::string error;
    ASSERT_TRUE(ReadPlan(PlanJson(sent, 77), &read, &seed, &error)) << error;
    EXPECT_EQ(PlanJson(read, seed), PlanJson(sent, 77));
}

/* A plan out of range is refused, with the reason. */
TEST(Plan, RefusesConnectionsOutOfRange)
{
    ClientSettings sent;
    ResultJson plan = PlanJson(sent, 1);
    plan["connections"] = 0;
    ClientSettings read;
    uint64_t seed = 0;
    std::string error;
    EXPECT_FALSE(ReadPlan(plan, &read, &seed, &error));
    EXPECT_EQ(error, "the plan asks for connections, window, sizes or timeout out of range");
}

/* The exchange of least round trip gives the offset; the uncertainty is
 * half its round trip. */
TEST(BestOffset, KeepsTheLeastRoundTrip)
{
    std::vector<ClockExchange> exchanges = {
        {1000, 5000700, 1400}, /* round trip 400: offset 4999500 */
        {2000, 5001900, 2100}, /* round trip 100: offset 4999850 */
        {3000, 5003000, 3300},
    };
    ClockOffset best = BestOffset(exchanges);
    EXPECT_EQ(best.OffsetNs, 4999850);
    EXPECT_EQ(best.UncertaintyNs, 50);
}

/* Intervals merge as histograms: one slow sample among a hundred moves the
 * merged p99 not at all, where averaged percentiles would. */
TEST(MergeIntervals, MergesHistogramsNotPercentiles)
{
    Histogram fast, slow;
    for (int i = 0; i < 99; ++i)
        fast.Record(1000);
    slow.Record(1000000);
    Histogram none;
    RunCounts counts;
    ServerView server;
    AgentInterval a, b;
    ASSERT_TRUE(ReadInterval(
        IntervalJson(IntervalFigures{0, 1.0}, {fast, none, none, counts, server}), &a));
    ASSERT_TRUE(ReadInterval(
        IntervalJson(IntervalFigures{0, 1.2}, {slow, none, none, counts, server}), &b));
    IntervalFigures merged = MergeIntervals({&a, &b});
    EXPECT_EQ(merged.P50, 1000u);
    EXPECT_EQ(merged.P99, 1000u);
    EXPECT_EQ(merged.Max, 1000000u);
    EXPECT_EQ(merged.DurationS, 1.2);
}

} // namespace
