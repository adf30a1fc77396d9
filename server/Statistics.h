/* Run statistics: counts, service times and data sizes over the whole run,
 * and the summary printed at its end. All unsigned 32-bit; sums wrap. */
#ifndef TFX_SERVER_STATISTICS_H
#define TFX_SERVER_STATISTICS_H

#include <cstdint>

extern uint32_t Messages;     /* messages received, transactions and datagrams */
extern uint32_t Transactions; /* transactions completed */
extern uint32_t Responses;    /* responses sent */
extern uint32_t MinTime;      /* shortest service time, ms */
extern uint32_t MaxTime;      /* longest service time, ms */
extern uint32_t TotalTime;    /* sum of service times, ms */
extern uint32_t MinSize;      /* smallest received data length */
extern uint32_t MaxSize;      /* largest received data length */
extern uint32_t AveSize;      /* average data length, set by the summary */
extern uint32_t TotalSize;    /* sum of received data lengths */
extern uint32_t StartTime;    /* arrival tick of the first message */
extern uint32_t EndTime;      /* completion tick of the last transaction */

/* Every message, on arrival: the first non-zero arrival tick starts the run. */
void CountArrival(uint32_t arrivalTick);

/* Every message, after its "Got" line: its data length as received. */
void CountSize(uint32_t dataLength);

/* After each response sent. */
void CountResponse();

/* Every transaction, when done. */
void CountCompletion(uint32_t completionTick, uint32_t serviceTime);

/* Prints the summary lines on standard output. */
void PrintSummary();

/* Prints the closing text and waits for the ENTER key. */
void ClosingPause();

#endif
