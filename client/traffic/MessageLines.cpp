#include "client/traffic/MessageLines.h"

#include <cstring>

/* The text up to its first zero byte, on one line of its own. */
static void PrintText(FILE *out, const char *data, uint32_t length)
{
    size_t text = data != nullptr ? strnlen(data, length) : 0;
    (void)fwrite(data, 1, text, out);
    if (text == 0 || data[text - 1] != '\n')
        (void)fputc('\n', out);
}

void PrintSentLine(FILE *out, const PlannedMessage &message, const char *data)
{
    fprintf(out, "Sent %s %llu length %u: ", message.Datagram ? "Datagram" : "Transaction",
            static_cast<unsigned long long>(message.Seq), message.Size);
    PrintText(out, data, message.Size);
}

void PrintReplyLine(FILE *out, const QLXREPLY &reply, uint64_t seq)
{
    unsigned long long number = seq;
    switch (reply.Kind) {
    case QLX_REPLY_RESPONSE:
        fprintf(out, "Got Response to %llu (%s%s) length %u: ", number,
                (reply.Flags & QLX_RF_NOTIFY) ? "notify" : "normal",
                (reply.Flags & QLX_RF_MORE) ? ", more" : "", reply.DataLength);
        PrintText(out, reply.Data, reply.DataLength);
        return;
    case QLX_REPLY_ALERT:
        fprintf(out, "Got Alert for %llu type %d: ", number, reply.Code);
        PrintText(out, reply.Data, reply.DataLength);
        return;
    case QLX_REPLY_END:
        fprintf(out, "Got End of %llu: closed without a response\n", number);
        return;
    case QLX_REPLY_REFUSED:
        fprintf(out, "Got Refusal of %llu: reason %d\n", number, reply.Code);
        return;
    case QLX_REPLY_GONE:
        fputs("Got word that the service went away\n", out);
        return;
    default:
        fprintf(out, "Got a reply of unknown kind %d for %llu\n", reply.Kind, number);
        return;
    }
}
