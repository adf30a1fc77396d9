#include "server/CommandLine.h"

#include <csignal>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "server/RunSettings.h"

namespace {

const std::string InterruptLine = "Interrupt received\n";

/* Every test starts and ends with the run going and the ending signals at
 * their default action. */
class Interrupt : public testing::Test {
  protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset()
    {
        ::Run = 1;
        for (int ending : {SIGUSR1, SIGINT, SIGTERM})
            (void)signal(ending, SIG_DFL);
    }
};

/* The handler writes its one line to standard error and ends the run. */
TEST_F(Interrupt, WritesOneLineAndClearsRun)
{
    testing::internal::CaptureStderr();
    ::Interrupt(SIGUSR1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), InterruptLine);
    int run = ::Run;
    EXPECT_EQ(run, 0);
}

/* The handler ignores the signal number it is given. */
TEST_F(Interrupt, IgnoresTheSignalNumber)
{
    testing::internal::CaptureStderr();
    ::Interrupt(0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), InterruptLine);
    int run = ::Run;
    EXPECT_EQ(run, 0);
}

/* Once installed, a first SIGUSR1 runs the handler and the process goes on. */
TEST_F(Interrupt, FirstSignalRunsTheHandler)
{
    InstallInterrupt();
    testing::internal::CaptureStderr();
    (void)raise(SIGUSR1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), InterruptLine);
    int run = ::Run;
    EXPECT_EQ(run, 0);
}

/* The handler is installed once: a second SIGUSR1 ends the process by its
 * default action, after the first one's line. */
TEST_F(Interrupt, SecondSignalEndsTheProcess)
{
    EXPECT_EXIT(
        {
            InstallInterrupt();
            (void)raise(SIGUSR1);
            if (::Run != 0)
                _exit(3);
            (void)raise(SIGUSR1);
            _exit(4);
        },
        testing::KilledBySignal(SIGUSR1), testing::Matcher<const std::string &>(InterruptLine));
}

/* Calls interrupted by the signal are not restarted, so a wait ends early. */
TEST_F(Interrupt, InterruptedCallsAreNotRestarted)
{
    InstallInterrupt();
    struct sigaction action {};
    ASSERT_EQ(sigaction(SIGUSR1, nullptr, &action), 0);
    EXPECT_EQ(action.sa_handler, &::Interrupt);
    EXPECT_EQ(action.sa_flags & SA_RESTART, 0);
}

} // namespace
