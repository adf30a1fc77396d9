#include "server/ServerMetrics.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

#include "metrics/MetricsListener.h"
#include "server/RunSettings.h"
#include "server/Statistics.h"
#include "util/Clock.h"

/* What a scrape shows: copied under the lock once a second. */
struct ServerSnapshot {
    QLXSTATS Library;
    uint32_t Transactions;
    uint32_t Messages;
    uint64_t ServiceTimes[LatencyBuckets];
    uint64_t ServiceTimeSumNs;
    uint64_t TakenMs; /* when, on the wall clock */
};

bool MetricsServed = false;
static uint64_t ServiceTimes[LatencyBuckets]; /* the request loop's own counts */
static uint64_t ServiceTimeSumNs = 0;
static uint32_t PublishedTick = 0; /* when the last snapshot was taken */
static ServerSnapshot Published;   /* the listener's, under PublishedLock */
static pthread_mutex_t PublishedLock = PTHREAD_MUTEX_INITIALIZER;
static char HostName[256] = "";

enum : uint32_t { PublishEveryMs = 1000 };

void CountServiceTime(uint32_t serviceMs)
{
    uint64_t ns = uint64_t{serviceMs} * 1000000u;
    ++ServiceTimes[LatencyBucketOf(ns)];
    ServiceTimeSumNs += ns;
}

void PublishMetricsWhenDue(QLXHCONN hConn)
{
    uint32_t now = GetTicks();
    if (now - PublishedTick < PublishEveryMs)
        return;
    PublishedTick = now;
    QLXSTATS library = QLX_DEFAULT_STATS;
    (void)qlxGetServiceStats(hConn, &library);
    (void)pthread_mutex_lock(&PublishedLock);
    Published.Library = library;
    Published.Transactions = Transactions;
    Published.Messages = Messages;
    for (size_t i = 0; i < LatencyBuckets; ++i)
        Published.ServiceTimes[i] = ServiceTimes[i];
    Published.ServiceTimeSumNs = ServiceTimeSumNs;
    Published.TakenMs = WallClockMs();
    (void)pthread_mutex_unlock(&PublishedLock);
}

/* One counter family of a single series. */
static void AddCounter(MetricsText *text, const char *name, const char *help, const char *labels,
                       uint64_t value)
{
    AddFamily(text, name, "counter", help);
    AddSample(text, name, labels, value);
}

static void AddGauge(MetricsText *text, const char *name, const char *help, const char *labels,
                     uint64_t value)
{
    AddFamily(text, name, "gauge", help);
    AddSample(text, name, labels, value);
}

/* A series of a family with one label more than the server's. */
static void AddLabelled(MetricsText *text, const char *name, const char *labels, const char *label,
                        const char *value, uint64_t count)
{
    MetricsText more{};
    AppendText(&more, labels, strlen(labels));
    AddLabel(&more, label, value);
    AddSample(text, name, more.Failed ? "" : more.Data, count);
    text->Failed = text->Failed || more.Failed;
    FreeMetricsText(&more);
}

/* Every transaction sends the same responses: the counts follow from the
 * transactions, exactly, since a snapshot is taken between two messages. */
static void AddResponses(MetricsText *text, const char *labels, uint64_t transactions)
{
    static const char Name[] = "tfxsrvr_responses_total";
    uint64_t notify = DataNotify > 0 ? uint64_t(DataNotify) : 0;
    uint64_t normal = DataNormal > 0 ? uint64_t(DataNormal) : 0;
    AddFamily(text, Name, "counter",
              "Responses sent, by kind; end: a transaction closed without one.");
    AddLabelled(text, Name, labels, "kind", "notify", transactions * notify);
    AddLabelled(text, Name, labels, "kind", "normal", transactions * normal);
    AddLabelled(text, Name, labels, "kind", "end", notify + normal == 0 ? transactions : 0);
    bool alerts = DataNotify != 0 && DataAlert != 0;
    AddCounter(text, "tfxsrvr_alerts_total", "Alerts sent.", labels, alerts ? transactions : 0);
}

static void AddRefusals(MetricsText *text, const char *labels, const QLXSTATS &library)
{
    static const char Name[] = "tfxsrvr_refusals_total";
    AddFamily(text, Name, "counter", "Transactions refused by the library, by reason code.");
    AddLabelled(text, Name, labels, "code", "50", library.RefusedNoReceiver);
    AddLabelled(text, Name, labels, "code", "51", library.RefusedTooLarge);
    AddLabelled(text, Name, labels, "code", "52", library.RefusedTooMany);
    AddLabelled(text, Name, labels, "code", "62", library.RefusedNoMemory);
}

static void AddLibrary(MetricsText *text, const char *labels, const QLXSTATS &library)
{
    AddCounter(text, "tfxsrvr_malformed_total", "Messages dropped as malformed.", labels,
               library.Malformed);
    AddCounter(text, "tfxsrvr_replies_dropped_total",
               "Replies to clients that had gone or did not read.", labels, library.RepliesDropped);
    AddCounter(text, "tfxsrvr_datagrams_dropped_total",
               "Datagrams not delivered (message id, size).", labels, library.DatagramsDropped);
    AddGauge(text, "tfxsrvr_connections_open", "Connections open now (ZeroMQ).", labels,
             library.ConnectionsOpen);
    AddCounter(text, "tfxsrvr_connections_accepted_total", "Connections accepted (ZeroMQ).", labels,
               library.ConnectionsAccepted);
    AddCounter(text, "tfxsrvr_connections_refused_total",
               "Connections refused at the connection limit (ZeroMQ).", labels,
               library.ConnectionsRefused);
    AddCounter(text, "tfxsrvr_received_bytes_total", "Bytes of the messages received.", labels,
               library.BytesReceived);
    AddCounter(text, "tfxsrvr_sent_bytes_total", "Bytes of the replies sent.", labels,
               library.BytesSent);
    AddGauge(text, "tfxsrvr_reply_bytes_held", "Bytes held in replies queued towards clients.",
             labels, library.ReplyBytesHeld);
    AddGauge(text, "tfxsrvr_reply_bytes_limit", "What replies queued may hold at most.", labels,
             library.ReplyBytesLimit);
}

static void Render(MetricsText *text, void *)
{
    static ServerSnapshot shown;
    (void)pthread_mutex_lock(&PublishedLock);
    shown = Published;
    (void)pthread_mutex_unlock(&PublishedLock);
    MetricsText labels{};
    AddLabel(&labels, "element", ElementName);
    AddLabel(&labels, "transport",
             shown.Library.Transport[0] != '\0' ? shown.Library.Transport : "none");
    AddLabel(&labels, "host", HostName);
    const char *set = labels.Failed ? "" : labels.Data;
    text->TimestampMs = shown.TakenMs;
    AddCounter(text, "tfxsrvr_transactions_total", "Transactions answered.", set,
               shown.Transactions);
    AddCounter(text, "tfxsrvr_datagrams_total", "Datagrams received.", set,
               shown.Messages - shown.Transactions);
    AddResponses(text, set, shown.Transactions);
    AddRefusals(text, set, shown.Library);
    AddLibrary(text, set, shown.Library);
    AddFamily(text, "tfxsrvr_service_time_seconds", "histogram",
              "Service time of the transactions answered, at the server's millisecond resolution.");
    AddLatencyHistogram(text, "tfxsrvr_service_time_seconds", set, shown.ServiceTimes,
                        shown.ServiceTimeSumNs);
    text->Failed = text->Failed || labels.Failed;
    FreeMetricsText(&labels);
}

void StartMetrics()
{
    const char *value = getenv("TFX_METRICS");
    if (value == nullptr || value[0] == '\0')
        return;
    sockaddr_in address{};
    const char *why = nullptr;
    char failure[256];
    (void)gethostname(HostName, sizeof HostName - 1);
    if (!ParseMetricsAddress(value, &address, &why)) {
        fprintf(stderr, "tfxsrvr: TFX_METRICS=%s: %s\n", value, why);
        exit(1);
    }
    Published.Library = QLX_DEFAULT_STATS;
    if (StartMetricsServer(address, Render, nullptr, failure, sizeof failure) == nullptr) {
        fprintf(stderr, "tfxsrvr: TFX_METRICS=%s: %s\n", value, failure);
        exit(1);
    }
    MetricsServed = true;
}
