#include "server/Statistics.h"

#include <cstdio>

#include "server/ServerMetrics.h"
#include "util/ConsoleInput.h"

uint32_t Messages = 0;
uint32_t Transactions = 0;
uint32_t Responses = 0;
uint32_t MinTime = 999999;
uint32_t MaxTime = 0;
uint32_t TotalTime = 0;
uint32_t MinSize = 999999;
uint32_t MaxSize = 0;
uint32_t AveSize = 0;
uint32_t TotalSize = 0;
uint32_t StartTime = 0;
uint32_t EndTime = 0;

void CountArrival(uint32_t arrivalTick)
{
    if (StartTime == 0)
        StartTime = arrivalTick;
}

void CountSize(uint32_t dataLength)
{
    if (dataLength < MinSize)
        MinSize = dataLength;
    if (dataLength > MaxSize)
        MaxSize = dataLength;
    TotalSize += dataLength;
    ++Messages;
}

void CountResponse()
{
    ++Responses;
}

void CountCompletion(uint32_t completionTick, uint32_t serviceTime)
{
    EndTime = completionTick;
    if (serviceTime < MinTime)
        MinTime = serviceTime;
    if (serviceTime > MaxTime)
        MaxTime = serviceTime;
    TotalTime += serviceTime;
    ++Transactions;
    if (MetricsServed)
        CountServiceTime(serviceTime);
}

/* Without a completed transaction EndTime was never set: the run then has
 * no measured length, rather than a wrapped one. */
static uint32_t ElapsedTime()
{
    return Transactions == 0 ? 0 : EndTime - StartTime;
}

/* The fixed formats print the unsigned counters with %d, as they always did. */
void PrintSummary()
{
    printf("\nTransactions = %d, Datagrams = %d, Total = %d\n", static_cast<int>(Transactions),
           static_cast<int>(Messages - Transactions), static_cast<int>(Messages));
    if (Responses != 0) {
        /* The average is over responses, not transactions, on purpose. */
        printf("Transaction service time (ms) min/avg/max = %d/%d/%d for %d responses\n",
               static_cast<int>(MinTime), static_cast<int>(TotalTime / Responses),
               static_cast<int>(MaxTime), static_cast<int>(Responses));
    }
    AveSize = Messages != 0 ? TotalSize / Messages : 0;
    printf("Sent Data size (bytes) min/avg/max/total = %d/%d/%d/%d\n", static_cast<int>(MinSize),
           static_cast<int>(AveSize), static_cast<int>(MaxSize), static_cast<int>(TotalSize));
    uint32_t elapsed = ElapsedTime();
    uint64_t rate = elapsed != 0 ? uint64_t{Messages} * 1000000u / elapsed : 0;
    printf("Elapsed Time = %d.%03d Seconds.  Transaction Rate = %d.%03d Msg/sec\n",
           static_cast<int>(elapsed / 1000), static_cast<int>(elapsed % 1000),
           static_cast<int>(rate / 1000), static_cast<int>(rate % 1000));
}

void ClosingPause()
{
    fputs("\nTraffic Server Ended Normally, press ENTER to end\n", stdout);
    WaitForEnter();
}
