#include "server/Transaction.h"

#include <cstdio>
#include <cstdlib>
#include <sys/select.h>

#include "binding/RecordPreparation.h"
#include "qlx/qlx.h"
#include "server/FatalFailure.h"
#include "server/RandomDraw.h"
#include "server/ReplyText.h"
#include "server/RunSettings.h"
#include "server/Statistics.h"
#include "util/Clock.h"

static void ReportArrival(const QLXMESSAGE &message)
{
    if (DataQuiet)
        return;
    const char *kind = message.MsgType == QLX_MSGTYPE_TRANSACTION ? "Transaction" : "Datagram";
    const char *text = message.Buffer.Data != nullptr ? message.Buffer.Data : "";
    printf("Got %s length %d: %s", kind, static_cast<int>(message.DataLength), text);
}

static void CloseDatagram(ServiceRun *run)
{
    (void)qlxCloseHandle(run->hConn, &run->hRequest);
    (void)qlxFreeBuffer(run->hConn, &run->MessageRecord.Buffer);
}

/* A signal cuts the sleep short; it is not resumed. */
static void Delay()
{
    int wait = DrawInRange(DataMinWait, DataMaxWait);
    if (!DataQuiet)
        printf("Wait Time = %d (ms)\n", wait);
    if (wait <= 0)
        return;
    timeval timeout{wait / 1000, (wait % 1000) * 1000};
    (void)select(0, nullptr, nullptr, nullptr, &timeout);
}

/* Without memory for the buffer, the received data is sent back unchanged. */
static void ReplaceData(ServiceRun *run)
{
    int size = DrawInRange(DataMinSize, DataMaxSize);
    QLXBUFFER &buffer = run->MessageRecord.Buffer;
    char *reply = size > 0 ? static_cast<char *>(calloc(static_cast<size_t>(size), 1)) : nullptr;
    if (reply == nullptr)
        return;
    run->ReplyBuffer = reply;
    if (buffer.Data != nullptr)
        CopyReplyText(reply, static_cast<size_t>(size), buffer.Data);
    (void)qlxFreeBuffer(run->hConn, &buffer);
    run->MessageRecord.DataLength = static_cast<uint32_t>(size);
    /* A second release, for a buffer still marked owned: deliberate, and
     * harmless, since the first one cleared the descriptor. */
    if (buffer.BufferOwned == 1)
        (void)qlxFreeBuffer(0, &buffer);
    buffer = QLXBUFFER{0, static_cast<uint32_t>(size), reply};
}

static void SendAlert(ServiceRun *run)
{
    QLXALERT alert;
    PrepareAlert(&alert);
    (void)qlxSendAlert(run->hConn, &alert);
}

static void PutResponse(ServiceRun *run, bool more)
{
    if (more)
        run->PutOptions.Options |= QLX_PMO_MORE;
    else
        run->PutOptions.Options &= ~QLX_PMO_MORE;
    if (!qlxPutResponse(run->hConn, &run->MessageRecord, &run->PutOptions, nullptr, &run->hRequest))
        FatalFailure("PutResponse: ", &run->hConn);
    CountResponse();
}

/* Notify responses first, then normal ones; only the very last one goes
 * without "more follow", also when a negative normal count sends none after
 * the notify responses. Returns how many were sent. */
static int SendResponses(ServiceRun *run)
{
    int sent = 0;
    run->PutOptions.Options |= QLX_PMO_NOTIFY;
    for (int i = 0; i < DataNotify; ++i, ++sent)
        PutResponse(run, i < DataNotify - 1 || DataNormal > 0);
    run->PutOptions.Options &= ~QLX_PMO_NOTIFY;
    for (int i = 0; i < DataNormal; ++i, ++sent)
        PutResponse(run, i < DataNormal - 1);
    return sent;
}

static void ReleaseReplyBuffer(ServiceRun *run)
{
    if (run->ReplyBuffer == nullptr)
        return;
    free(run->ReplyBuffer);
    run->ReplyBuffer = nullptr;
    QLXBUFFER &buffer = run->MessageRecord.Buffer;
    if (buffer.BufferOwned == 1)
        (void)qlxFreeBuffer(0, &buffer);
    buffer = QLXBUFFER{0, 0, nullptr};
}

static void AnswerTransaction(ServiceRun *run, uint32_t arrivalTick)
{
    if (DataMinWait != 0)
        Delay();
    if (DataMinSize != 0)
        ReplaceData(run);
    QLXBUFFER &buffer = run->MessageRecord.Buffer;
    if (buffer.Data != nullptr)
        TagReplyText(buffer.Data, buffer.BufferSize, ElementName);
    if (DataNotify != 0 && DataAlert != 0)
        SendAlert(run);
    if (SendResponses(run) == 0)
        (void)qlxCloseHandle(run->hConn, &run->hRequest);
    ReleaseReplyBuffer(run);

    uint32_t completionTick = GetTicks();
    uint32_t serviceTime = completionTick - arrivalTick;
    if (!DataQuiet)
        printf("Elapsed time = %d (ms)\n", static_cast<int>(serviceTime));
    CountCompletion(completionTick, serviceTime);
}

void HandleMessage(ServiceRun *run)
{
    uint32_t arrivalTick = GetTicks();
    CountArrival(arrivalTick);
    ReportArrival(run->MessageRecord);
    CountSize(run->MessageRecord.DataLength);
    if (run->MessageRecord.MsgType != QLX_MSGTYPE_TRANSACTION) {
        CloseDatagram(run);
        return;
    }
    AnswerTransaction(run, arrivalTick);
}
