#include "util/Timestamp.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "trace/TfxanutlTrace.h"

void SecondsToString(char *out, const TimeValue *t)
{
    /* time_t is 64-bit here, so the unsigned seconds never turn negative. */
    const time_t seconds = static_cast<time_t>(t->Seconds);
    tm fields{};
    (void)gmtime_r(&seconds, &fields);
    char text[40];
    (void)snprintf(text, sizeof text, "%03d%02d%02d%02d%02d%02d%03d", fields.tm_year,
                   fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec,
                   static_cast<int>(t->Milliseconds));
    memcpy(out, text, 16);
}

void TimePrint(const char *label, const TimeValue *t)
{
    constinit static TRC1_FunctionBlock Trace = TraceFunction(TfxanutlTrace, "TimePrint", 56);
    TraceEntry(TfxanutlTrace, Trace, "(%#p, %#p)", label, t);
    char stamp[17];
    SecondsToString(stamp, t);
    stamp[16] = '\0';
    TraceDetail(TfxanutlTrace, 60, label, stamp);
    TraceExit(TfxanutlTrace, 62);
}
