/* tfxsrvr: the traffic server. Opens a service under its element name,
 * answers every transaction with the configured responses, and prints a
 * summary when the run ends. */
#include <cstdio>

#include "binding/RecordPreparation.h"
#include "qlx/qlx.h"
#include "binding/tfxcodes.h"
#include "server/CommandLine.h"
#include "server/FatalFailure.h"
#include "server/RunSettings.h"
#include "server/ServerMetrics.h"
#include "server/ServiceRun.h"
#include "server/Statistics.h"
#include "server/Transaction.h"

static void StartRecords(ServiceRun *run)
{
    run->ServiceAddress = DefaultServiceAddress;
    run->MessageRecord = DefaultMessageRecord;
    run->hConn = 0;
    run->hRequest = 0;
    run->ReplyBuffer = nullptr;
}

static void PrepareRecords(ServiceRun *run)
{
    FillName(run->ServiceAddress.Name, ElementName);
    PrepareGetOptions(&run->GetOptions, GetProfile, DataMsgId);
    PreparePutOptions(&run->PutOptions, PutProfile, DataMsgId);
}

static bool StopRequested(const ServiceRun &run)
{
    return (run.GetOptions.Status & QLX_STATUS_STOP) != 0;
}

/* One wait for a message, attempt by attempt. Returns true when a message
 * came; countdown is left at -1 when the wait limit ran out. */
static bool WaitForMessage(ServiceRun *run, int *countdown)
{
    for (;;) {
        if (MetricsServed)
            PublishMetricsWhenDue(run->hConn);
        if (!Run)
            return false;
        if (DataTimeout != 0) {
            /* Wraps like the 32-bit count it is; a negative limit never meets -1. */
            *countdown = static_cast<int>(static_cast<unsigned>(*countdown) - 1u);
            if (*countdown == -1)
                return false;
        }
        if (qlxGetRequest(run->hConn, &run->MessageRecord, &run->GetOptions, nullptr,
                          &run->hRequest))
            return true;
        (void)qlxGetLastError(&Err);
        if (!IsNoMsgError(&Err))
            FatalFailure("GetRequest: ", &run->hConn);
        if (StopRequested(*run))
            return false;
    }
}

static void RequestLoop(ServiceRun *run)
{
    while (Run) {
        int countdown = DataTimeout;
        bool received = WaitForMessage(run, &countdown);
        if (countdown == -1) {
            Run = 0;
            printf("Terminating due to timeout\n");
        }
        if (StopRequested(*run)) {
            Run = 0;
            /* "applicaton": the line as users' scripts match it; not a typo to mend. */
            printf("Terminating due to applicaton manager request\n");
        }
        if (received)
            HandleMessage(run);
    }
}

int main(int argc, char **argv)
{
    static ServiceRun run;
    /* Line by line, also into a file or a pipe: a watcher sees each line as it
     * comes, and in order with standard error. */
    (void)setvbuf(stdout, nullptr, _IOLBF, 0);
    StartRecords(&run);
    ProcessArgs(argc, argv);
    InstallInterrupt();
    StartMetrics();
    PrepareRecords(&run);

    printf("Service Element %s\n", ElementName);
    printf("Opening Service\n");
    if (!qlxServerInitialize(&run.ServiceAddress, &run.hConn))
        FatalFailure("ServerInitialize: ", &run.hConn);
    printf("Waiting for message...\n");

    RequestLoop(&run);

    PrintSummary();
    if (Popups)
        ClosingPause();
    (void)qlxTerminate(&run.hConn);
    return OutputLost ? ExitOutputLost : 0;
}
