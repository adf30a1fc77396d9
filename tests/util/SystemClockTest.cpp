#include "util/SystemClock.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace {

int64_t SystemNs()
{
    timespec now{};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

/* Reads the clock call between two system clock readings for a tenth of a
 * second (past the counter's calibration and a hundred re-anchorings);
 * returns the first reading that lay outside its bracket by more than the
 * slack, or went back, as text, and "" when there was none. */
std::string CheckReadings(int64_t slackNs)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    int64_t last = 0;
    for (int i = 0; i < 5000000 && std::chrono::steady_clock::now() < end; ++i) {
        int64_t before = SystemNs();
        ClockReading reading{};
        EXPECT_EQ(SVC1_GetTime(&reading), 1);
        int64_t after = SystemNs();
        /* The reading holds the seconds modulo 2^32. */
        int64_t seconds = (before / 1000000000 & ~int64_t{0xFFFFFFFF}) + reading.Seconds;
        int64_t ns = seconds * 1000000000 + reading.Nanoseconds;
        if (reading.Nanoseconds > 999999999u || ns < before - slackNs || ns > after + slackNs ||
            ns < last)
            return "reading " + std::to_string(i) + ": " + std::to_string(ns) + " not within " +
                   std::to_string(before) + " to " + std::to_string(after) + ", last " +
                   std::to_string(last);
        last = ns;
    }
    return "";
}

/* The clock call tells the wall-clock time to within a few microseconds,
 * and never goes back. */
TEST(SystemClock, ReadsTheWallClock)
{
    EXPECT_EQ(CheckReadings(20000), "");
}

/* Each thread reads it as well, at the same time as the others. */
TEST(SystemClock, ReadsTheWallClockInEveryThread)
{
    std::string other;
    std::thread thread([&other] { other = CheckReadings(20000); });
    EXPECT_EQ(CheckReadings(20000), "");
    thread.join();
    EXPECT_EQ(other, "");
}

} // namespace
