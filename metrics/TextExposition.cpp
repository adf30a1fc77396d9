#include "metrics/TextExposition.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

const char MetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

uint64_t WallClockMs()
{
    timespec now{};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void FreeMetricsText(MetricsText *text)
{
    free(text->Data);
    *text = MetricsText{};
}

static bool MakeRoom(MetricsText *text, size_t more)
{
    if (text->Failed)
        return false;
    if (text->Length + more + 1 <= text->Capacity)
        return true;
    size_t capacity = text->Capacity < 1024 ? 1024 : text->Capacity;
    while (capacity < text->Length + more + 1)
        capacity *= 2;
    char *data = static_cast<char *>(realloc(text->Data, capacity));
    if (data == nullptr) {
        text->Failed = true;
        return false;
    }
    text->Data = data;
    text->Capacity = capacity;
    return true;
}

void AppendText(MetricsText *text, const char *bytes, size_t length)
{
    if (!MakeRoom(text, length))
        return;
    memcpy(text->Data + text->Length, bytes, length);
    text->Length += length;
    text->Data[text->Length] = '\0';
}

static void Append(MetricsText *text, const char *string)
{
    AppendText(text, string, strlen(string));
}

void AddLabel(MetricsText *labels, const char *name, const char *value)
{
    if (labels->Length != 0)
        Append(labels, ",");
    Append(labels, name);
    Append(labels, "=\"");
    for (const char *at = value; *at != '\0'; ++at) {
        if (*at == '\\')
            Append(labels, "\\\\");
        else if (*at == '"')
            Append(labels, "\\\"");
        else if (*at == '\n')
            Append(labels, "\\n");
        else
            AppendText(labels, at, 1);
    }
    Append(labels, "\"");
}

void AddFamily(MetricsText *text, const char *name, const char *type, const char *help)
{
    Append(text, "# HELP ");
    Append(text, name);
    Append(text, " ");
    Append(text, help);
    Append(text, "\n# TYPE ");
    Append(text, name);
    Append(text, " ");
    Append(text, type);
    Append(text, "\n");
}

static void AddValue(MetricsText *text, const char *name, const char *labels, const char *value)
{
    Append(text, name);
    if (labels[0] != '\0') {
        Append(text, "{");
        Append(text, labels);
        Append(text, "}");
    }
    Append(text, " ");
    Append(text, value);
    if (text->TimestampMs != 0) {
        char stamp[24];
        (void)snprintf(stamp, sizeof stamp, " %" PRIu64, text->TimestampMs);
        Append(text, stamp);
    }
    Append(text, "\n");
}

void AddSample(MetricsText *text, const char *name, const char *labels, uint64_t value)
{
    char number[24];
    (void)snprintf(number, sizeof number, "%" PRIu64, value);
    AddValue(text, name, labels, number);
}

void AddSeconds(MetricsText *text, const char *name, const char *labels, uint64_t ns)
{
    char seconds[32];
    FormatSeconds(seconds, ns);
    AddValue(text, name, labels, seconds);
}

void FormatSeconds(char *out, uint64_t ns)
{
    int length = snprintf(out, 32, "%" PRIu64 ".%09" PRIu64, ns / 1000000000u, ns % 1000000000u);
    while (out[length - 1] == '0')
        out[--length] = '\0';
    if (out[length - 1] == '.')
        out[length - 1] = '\0';
}

/* The labels of one bucket: the histogram's and its le. */
static void BucketLabels(MetricsText *out, const char *labels, size_t index)
{
    out->Length = 0;
    Append(out, labels);
    char bound[32];
    if (index < LatencyBounds)
        FormatSeconds(bound, LatencyBoundNs(index));
    else
        memcpy(bound, "+Inf", 5);
    AddLabel(out, "le", bound);
}

void AddLatencyHistogram(MetricsText *text, const char *name, const char *labels,
                         const uint64_t *counts, uint64_t sumNs)
{
    char series[128];
    MetricsText bucketLabels{};
    uint64_t cumulative = 0;
    (void)snprintf(series, sizeof series, "%s_bucket", name);
    for (size_t index = 0; index < LatencyBuckets; ++index) {
        cumulative += counts[index];
        BucketLabels(&bucketLabels, labels, index);
        AddSample(text, series, bucketLabels.Failed ? "" : bucketLabels.Data, cumulative);
    }
    text->Failed = text->Failed || bucketLabels.Failed;
    FreeMetricsText(&bucketLabels);
    (void)snprintf(series, sizeof series, "%s_sum", name);
    AddSeconds(text, series, labels, sumNs);
    (void)snprintf(series, sizeof series, "%s_count", name);
    AddSample(text, series, labels, cumulative);
}
