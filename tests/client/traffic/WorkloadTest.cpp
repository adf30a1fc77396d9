#include "client/traffic/Workload.h"

#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<PlannedMessage> Plan(const ClientSettings &settings, uint64_t seed, int count)
{
    Workload workload(settings, seed);
    std::vector<PlannedMessage> plan;
    for (int i = 0; i < count; ++i) {
        plan.push_back(workload.Peek());
        workload.Take();
    }
    return plan;
}

/* Messages are numbered from 1, one after the other. */
TEST(Workload, NumbersMessagesFromOne)
{
    std::vector<PlannedMessage> plan = Plan(ClientSettings{}, 1, 5);
    for (size_t i = 0; i < plan.size(); ++i)
        EXPECT_EQ(plan[i].Seq, i + 1);
}

/* Peek shows the same message until Take moves on. */
TEST(Workload, PeekIsStableUntilTake)
{
    Workload workload(ClientSettings{}, 1);
    EXPECT_EQ(workload.Peek().Seq, 1u);
    EXPECT_EQ(workload.Peek().Seq, 1u);
    workload.Take();
    EXPECT_EQ(workload.Peek().Seq, 2u);
}

/* A datagram share gives that exact count, spread evenly. */
TEST(Workload, DatagramShareIsExactAndEven)
{
    ClientSettings settings;
    settings.DatagramPercent = 25;
    std::vector<PlannedMessage> plan = Plan(settings, 1, 100);
    int datagrams = 0;
    for (const PlannedMessage &message : plan)
        datagrams += message.Datagram ? 1 : 0;
    EXPECT_EQ(datagrams, 25);
    EXPECT_FALSE(plan[0].Datagram);
    EXPECT_TRUE(plan[3].Datagram);
    settings.DatagramPercent = 100;
    for (const PlannedMessage &message : Plan(settings, 1, 10))
        EXPECT_TRUE(message.Datagram);
    settings.DatagramPercent = 0;
    for (const PlannedMessage &message : Plan(settings, 1, 10))
        EXPECT_FALSE(message.Datagram);
}

/* Sizes stay in the range, reach both ends, and repeat with the seed. */
TEST(Workload, SizesFollowTheSeedWithinTheRange)
{
    ClientSettings settings;
    settings.SizeMin = 10;
    settings.SizeMax = 13;
    std::vector<PlannedMessage> first = Plan(settings, 99, 1000);
    std::vector<PlannedMessage> again = Plan(settings, 99, 1000);
    std::vector<PlannedMessage> other = Plan(settings, 100, 1000);
    bool seen[4] = {};
    bool differs = false;
    for (size_t i = 0; i < first.size(); ++i) {
        ASSERT_GE(first[i].Size, 10u);
        ASSERT_LE(first[i].Size, 13u);
        seen[first[i].Size - 10] = true;
        EXPECT_EQ(first[i].Size, again[i].Size);
        differs = differs || first[i].Size != other[i].Size;
    }
    EXPECT_TRUE(seen[0] && seen[1] && seen[2] && seen[3]);
    EXPECT_TRUE(differs);
}

/* Under a rate, message n is meant to go (n - 1) periods after the start. */
TEST(Workload, RateSpacesTheIntendedSendTimesEvenly)
{
    ClientSettings settings;
    settings.Rate = 4000;
    Workload workload(settings, 1);
    EXPECT_EQ(workload.IntendedOffsetNs(1), 0u);
    EXPECT_EQ(workload.IntendedOffsetNs(2), 250000u);
    EXPECT_EQ(workload.IntendedOffsetNs(4001), 1000000000u);
    settings.Rate = 3;
    Workload slow(settings, 1);
    EXPECT_EQ(slow.IntendedOffsetNs(4), 1000000000u);
    EXPECT_EQ(slow.IntendedOffsetNs(2), 333333333u);
}

} // namespace
