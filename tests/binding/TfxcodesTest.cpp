#include "binding/tfxcodes.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "qlx/qlx.h"

namespace {

/* An error record with the given reason codes and texts; a text of 216
 * characters or more fills its block without a terminator. */
QLXERROR Record(int32_t primaryReason, const std::string &primary, int32_t subReason,
                const std::string &sub)
{
    QLXERROR error{};
    error.PrimaryResult.CompletionCode = 2;
    error.PrimaryResult.ReasonCode = primaryReason;
    memcpy(error.PrimaryResult.Text, primary.data(),
           std::min(primary.size(), sizeof error.PrimaryResult.Text));
    error.SubResult.CompletionCode = 2;
    error.SubResult.ReasonCode = subReason;
    memcpy(error.SubResult.Text, sub.data(), std::min(sub.size(), sizeof error.SubResult.Text));
    return error;
}

/* Only a primary reason code of 20 is the no-message failure. */
TEST(IsNoMsgError, LooksAtThePrimaryReasonCodeOnly)
{
    QLXERROR noMessage = Record(20, "", 0, "");
    EXPECT_EQ(IsNoMsgError(&noMessage), 1);
    QLXERROR subOnly = Record(0, "", 20, "");
    EXPECT_EQ(IsNoMsgError(&subOnly), 0);
    QLXERROR other = Record(42, "", 20, "");
    EXPECT_EQ(IsNoMsgError(&other), 0);
}

/* What ProcessError writes to standard error and standard output. */
struct Report {
    std::string Stderr;
    std::string Stdout;
};

Report ReportOf(QLXERROR error, const char *label)
{
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    ProcessError(&error, label, 0);
    Report report;
    report.Stdout = testing::internal::GetCapturedStdout();
    report.Stderr = testing::internal::GetCapturedStderr();
    return report;
}

/* The report: label, the primary and the sub result under their headings,
 * one line feed at the end; nothing on standard output. */
TEST(ProcessError, WritesTheWholeReport)
{
    Report report =
        ReportOf(Record(42, "service element TestE1 is already served by a live process (42)", 0,
                        "lock file /tmp/q/TestE1.lock is held"),
                 "ServerInitialize: ");
    EXPECT_EQ(report.Stderr, "ServerInitialize: \n\nPrimary Result: service element TestE1 is "
                             "already served by a live process (42)\n\nSub Result: lock file "
                             "/tmp/q/TestE1.lock is held\n");
    EXPECT_EQ(report.Stdout, "");
}

/* A null label starts the report with the first heading's line feeds. */
TEST(ProcessError, NullLabelStartsWithTheHeading)
{
    Report report = ReportOf(
        Record(20, "no message available within the wait interval (20)", 0, "waited 1000 ms"),
        nullptr);
    EXPECT_EQ(report.Stderr, "\n\nPrimary Result: no message available within the wait interval "
                             "(20)\n\nSub Result: waited 1000 ms\n");
}

/* Empty result texts leave the headings alone. */
TEST(ProcessError, EmptyTextsLeaveTheHeadings)
{
    EXPECT_EQ(ReportOf(Record(0, "", 0, ""), "GetRequest: ").Stderr,
              "GetRequest: \n\nPrimary Result: \n\nSub Result: \n");
}

/* The sub result gets the room left after the label, both headings and the
 * primary text: no fixed share. */
TEST(ProcessError, SubResultGetsTheRoomLeft)
{
    const std::string label(500, 'L');
    const std::string primary(200, 'P');
    const std::string sub(215, 'S');
    const size_t before = label.size() + 18 + primary.size() + 14;
    Report report = ReportOf(Record(1, primary, 2, sub), label.c_str());
    EXPECT_EQ(report.Stderr, label + "\n\nPrimary Result: " + primary +
                                 "\n\nSub Result: " + sub.substr(0, 800 - before - 1) + "\n");
}

/* Unterminated texts of 216 bytes are read to their block's end and no
 * further. */
TEST(ProcessError, ReadsUnterminatedTextsToTheBlockEnd)
{
    const std::string primary(300, 'P');
    const std::string sub(300, 'S');
    Report report = ReportOf(Record(1, primary, 2, sub), "PutResponse: ");
    EXPECT_EQ(report.Stderr, "PutResponse: \n\nPrimary Result: " + std::string(216, 'P') +
                                 "\n\nSub Result: " + std::string(216, 'S') + "\n");
}

/* However long the texts, the report stays within 800 bytes, its
 * terminator included. */
TEST(ProcessError, NeverGrowsPast800Bytes)
{
    const std::string label(1000, 'L');
    EXPECT_EQ(
        ReportOf(Record(1, std::string(300, 'P'), 2, std::string(300, 'S')), label.c_str()).Stderr,
        std::string(799, 'L') + "\n");
    const std::string longLabel(600, 'L');
    const std::string primaryPart(800 - 1 - 600 - 18, 'P');
    EXPECT_EQ(
        ReportOf(Record(1, std::string(300, 'P'), 2, std::string(300, 'S')), longLabel.c_str())
            .Stderr,
        longLabel + "\n\nPrimary Result: " + primaryPart + "\n");
    const std::string fitsHeading(800 - 1 - 18 - 216 - 14, 'L');
    EXPECT_EQ(
        ReportOf(Record(1, std::string(300, 'P'), 2, std::string(300, 'S')), fitsHeading.c_str())
            .Stderr,
        fitsHeading + "\n\nPrimary Result: " + std::string(216, 'P') + "\n\nSub Result: \n");
}

/* Runs ProcessError with pause set, standard input holding input, and exits
 * 0 when standard output got the pause text and exactly one line was read. */
void PauseChild(const std::string &input, const std::string &left)
{
    int fds[2];
    if (pipe(fds) != 0)
        _exit(10);
    if (write(fds[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        _exit(11);
    (void)close(fds[1]);
    if (dup2(fds[0], STDIN_FILENO) < 0)
        _exit(12);
    QLXERROR error = Record(60, "a message cannot be sent (60)", 0, "no further detail");
    testing::internal::CaptureStdout();
    ProcessError(&error, "PutResponse: ", 1);
    std::string out = testing::internal::GetCapturedStdout();
    if (out != "\nTraffic Client Ended Abnormally, press ENTER to end\n")
        _exit(13);
    std::string rest;
    for (int ch = getchar(); ch != EOF; ch = getchar())
        rest += static_cast<char>(ch);
    _exit(rest == left ? 0 : 14);
}

/* With pause set, the report is followed by the pause text on standard
 * output and one input line of any length is read and discarded. */
TEST(ProcessError, PauseReadsOneLine)
{
    const std::string longLine(30000, 'x');
    EXPECT_EXIT(PauseChild(longLine + "\nnext line\n", "next line\n"), testing::ExitedWithCode(0),
                "PutResponse: \n\nPrimary Result: a message cannot be sent \\(60\\)\n\nSub "
                "Result: no further detail\n");
    EXPECT_EXIT(PauseChild("", ""), testing::ExitedWithCode(0), "");
}

/* Without pause nothing is read from standard input. */
TEST(ProcessError, NoPauseReadsNothing)
{
    EXPECT_EXIT(
        {
            int fds[2];
            if (pipe(fds) != 0 || write(fds[1], "kept\n", 5) != 5)
                _exit(10);
            (void)close(fds[1]);
            if (dup2(fds[0], STDIN_FILENO) < 0)
                _exit(12);
            QLXERROR error = Record(1, "x", 2, "y");
            ProcessError(&error, nullptr, 0);
            char line[16] = "";
            _exit(fgets(line, sizeof line, stdin) != nullptr && strcmp(line, "kept\n") == 0 ? 0
                                                                                            : 14);
        },
        testing::ExitedWithCode(0), "");
}

} // namespace
