#include "binding/tfxcodes.h"

#include <cstdio>
#include <cstring>

#include "qlx/qlx.h"
#include "util/ConsoleInput.h"

enum { ReportSize = 800 };

int IsNoMsgError(const QLXERROR *error)
{
    return error->PrimaryResult.ReasonCode == QLXRC_NO_MESSAGE;
}

/* Appends text, cut to the room left; the report keeps its terminator. */
static void AppendText(char *report, const char *text)
{
    size_t length = strlen(report);
    (void)snprintf(report + length, ReportSize - length, "%s", text);
}

/* Lets the library format block at the end of the report, in the room left. */
static void AppendResult(char *report, const ResultBlock *block)
{
    size_t length = strlen(report);
    uint32_t room = static_cast<uint32_t>(ReportSize - length);
    (void)qlxFormatError(block, 1, report + length, &room);
    report[ReportSize - 1] = '\0';
}

void ProcessError(QLXERROR *error, const char *label, int pause)
{
    char report[ReportSize] = "";
    AppendText(report, label != nullptr ? label : "");
    AppendText(report, "\n\nPrimary Result: ");
    AppendResult(report, &error->PrimaryResult);
    AppendText(report, "\n\nSub Result: ");
    AppendResult(report, &error->SubResult);
    fprintf(stderr, "%s\n", report);
    if (pause == 0)
        return;
    fputs("\nTraffic Client Ended Abnormally, press ENTER to end\n", stdout);
    WaitForEnter();
}
