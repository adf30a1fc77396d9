#include "client/agents/AgentPlan.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "client/results/JsonReport.h"
#include "client/values/ValueParsing.h"

ClientSettings AgentShare(const ClientSettings &whole, uint32_t agents, uint32_t index)
{
    ClientSettings share = whole;
    share.Count = whole.Count / agents + (index < whole.Count % agents ? 1 : 0);
    share.Rate = whole.Rate / agents;
    share.JsonPath.clear();
    share.HistogramPath.clear();
    share.Thresholds.clear();
    share.StopRequest = false;
    return share;
}

ResultJson PlanJson(const ClientSettings &settings, uint64_t seed)
{
    return SettingsJson(settings, seed);
}

template <typename Value> static Value Or(const ResultJson &json, Value otherwise)
{
    return json.is_null() ? otherwise : json.get<Value>();
}

bool ReadPlan(const ResultJson &plan, ClientSettings *settings, uint64_t *seed, std::string *error)
{
    try {
        settings->Element = plan.at("element").get<std::string>();
        settings->Connections = plan.at("connections").get<uint32_t>();
        settings->Window = plan.at("window").get<uint32_t>();
        settings->Rate = Or(plan.at("rate"), 0.0);
        settings->CountLimited = !plan.at("count").is_null();
        settings->Count = Or<uint64_t>(plan.at("count"), 0);
        settings->Duration = Or(plan.at("duration_s"), 0.0);
        settings->SizeMin = plan.at("size_min").get<uint32_t>();
        settings->SizeMax = plan.at("size_max").get<uint32_t>();
        settings->DatagramPercent = plan.at("datagram_percent").get<double>();
        settings->MsgIdGiven = !plan.at("message_id").is_null();
        std::string msgId = Or<std::string>(plan.at("message_id"), "");
        (void)snprintf(settings->MsgId, sizeof settings->MsgId, "%-*.*s", 23, 23, msgId.c_str());
        settings->Timeout = plan.at("timeout_s").get<double>();
        settings->Warmup = plan.at("warmup_s").get<double>();
        *seed = plan.at("seed").get<uint64_t>();
        settings->Verify = plan.at("verify").get<bool>();
        settings->ExpectMin = Or<uint32_t>(plan.at("expect_size_min"), 0);
        settings->ExpectMax = Or<uint32_t>(plan.at("expect_size_max"), 0);
        settings->Percentiles = plan.at("percentiles").get<std::vector<double>>();
    } catch (const ResultJson::exception &fault) {
        std::string what = fault.what();
        *error = "the plan is not one of this tfxclnt: " + what.substr(what.find("] ") + 2);
        return false;
    }
    bool sane = settings->Connections >= 1 && settings->Connections <= MaxConnections &&
                settings->Window >= 1 && settings->Window <= MaxWindow &&
                settings->SizeMin <= settings->SizeMax && settings->SizeMax <= MaxRequestSize &&
                settings->Timeout >= 0.001 && settings->Timeout <= 3600.0;
    if (!sane) {
        *error = "the plan asks for connections, window, sizes or timeout out of range";
        return false;
    }
    bool percentiles = settings->Percentiles.size() <= MaxPercentiles;
    for (double percentile : settings->Percentiles)
        percentiles = percentiles && percentile >= 0.0 && percentile <= 100.0;
    sane = percentiles &&
           (settings->Rate == 0.0 || (settings->Rate >= 0.001 && settings->Rate <= 1e9)) &&
           settings->Duration >= 0.0 && settings->Duration <= 1e7 && settings->Warmup >= 0.0 &&
           settings->Warmup <= 3600.0 && settings->DatagramPercent >= 0.0 &&
           settings->DatagramPercent <= 100.0 && settings->ExpectMax <= MaxReplySize;
    if (!sane)
        *error = "the plan asks for percentiles, rate, duration, warm-up or datagrams out of range";
    return sane;
}

void IntervalLatency::AddTo(Histogram *into) const
{
    if (Buckets.empty())
        return;
    for (const auto &bucket : Buckets)
        into->AddToBucket(bucket[0], bucket[1]);
    into->AddExtremes(Min, Max, static_cast<long double>(Sum));
}

static ResultJson LatencyJson(const Histogram &latency)
{
    ResultJson buckets = ResultJson::array();
    latency.ForEachBucket([&buckets](uint64_t low, uint64_t, uint64_t count) {
        buckets.push_back({low, count});
    });
    return {{"buckets", buckets},
            {"min", latency.Min()},
            {"max", latency.Max()},
            {"sum", latency.Mean() * static_cast<double>(latency.Count())}};
}

ResultJson IntervalJson(const IntervalFigures &figures, const IntervalTally &tally)
{
    ResultJson counts = ResultJson::object();
    for (size_t i = 0; i < CountFieldCount; ++i)
        counts[CountFields[i].Name] = tally.Counts.*CountFields[i].Member;
    const ServerView &server = tally.Server;
    ResultJson json = {{"start_s", figures.StartS},
                       {"duration_s", figures.DurationS},
                       {"warmup", figures.Warmup},
                       {"messages", figures.Messages},
                       {"completed", figures.Completed},
                       {"refused", figures.Refused},
                       {"timed_out", figures.TimedOut},
                       {"uncorrected", LatencyJson(tally.Uncorrected)},
                       {"send_lag", LatencyJson(tally.SendLag)},
                       {"counts", counts},
                       {"server",
                        {{"transactions", server.Transactions},
                         {"total", server.Messages},
                         {"size_min", server.MinSize},
                         {"size_max", server.MaxSize},
                         {"size_total", server.TotalSize}}}};
    json.update(LatencyJson(tally.Latency));
    return json;
}

/* Throws the JSON library's exception when json is not latencies as
 * LatencyJson writes them. */
static IntervalLatency ReadLatency(const ResultJson &json)
{
    IntervalLatency latency;
    latency.Buckets = json.at("buckets").get<std::vector<std::array<uint64_t, 2>>>();
    latency.Min = json.at("min").get<uint64_t>();
    latency.Max = json.at("max").get<uint64_t>();
    latency.Sum = json.at("sum").get<double>();
    return latency;
}

bool ReadInterval(const ResultJson &json, AgentInterval *interval)
{
    try {
        IntervalFigures &figures = interval->Figures;
        figures.StartS = json.at("start_s").get<double>();
        figures.DurationS = json.at("duration_s").get<double>();
        figures.Warmup = json.at("warmup").get<bool>();
        figures.Messages = json.at("messages").get<uint64_t>();
        figures.Completed = json.at("completed").get<uint64_t>();
        figures.Refused = json.at("refused").get<uint64_t>();
        figures.TimedOut = json.at("timed_out").get<uint64_t>();
        interval->Latency = ReadLatency(json);
        interval->Uncorrected = ReadLatency(json.at("uncorrected"));
        interval->SendLag = ReadLatency(json.at("send_lag"));
        for (size_t i = 0; i < CountFieldCount; ++i)
            interval->Counts.*CountFields[i].Member =
                json.at("counts").at(CountFields[i].Name).get<uint64_t>();
        const ResultJson &server = json.at("server");
        interval->Server.Transactions = server.at("transactions").get<uint32_t>();
        interval->Server.Messages = server.at("total").get<uint32_t>();
        interval->Server.MinSize = server.at("size_min").get<uint32_t>();
        interval->Server.MaxSize = server.at("size_max").get<uint32_t>();
        interval->Server.TotalSize = server.at("size_total").get<uint32_t>();
    } catch (const ResultJson::exception &) {
        return false;
    }
    return interval->Server.Transactions <= interval->Server.Messages;
}

Histogram MergedLatency(const std::vector<const AgentInterval *> &parts)
{
    Histogram latency;
    for (const AgentInterval *part : parts)
        part->Latency.AddTo(&latency);
    return latency;
}

IntervalFigures MergeIntervals(const std::vector<const AgentInterval *> &parts)
{
    IntervalFigures merged;
    for (const AgentInterval *part : parts) {
        const IntervalFigures &figures = part->Figures;
        merged.StartS = figures.StartS;
        merged.DurationS = std::max(merged.DurationS, figures.DurationS);
        merged.Warmup = merged.Warmup || figures.Warmup;
        merged.Messages += figures.Messages;
        merged.Completed += figures.Completed;
        merged.Refused += figures.Refused;
        merged.TimedOut += figures.TimedOut;
    }
    Histogram latency = MergedLatency(parts);
    merged.P50 = latency.Percentile(50.0);
    merged.P99 = latency.Percentile(99.0);
    merged.P999 = latency.Percentile(99.9);
    merged.Max = latency.Max();
    return merged;
}

ClockOffset BestOffset(const std::vector<ClockExchange> &exchanges)
{
    ClockOffset best;
    int64_t leastTrip = INT64_MAX;
    for (const ClockExchange &exchange : exchanges) {
        int64_t trip = exchange.ReceivedNs - exchange.SentNs;
        if (trip < 0 || trip >= leastTrip)
            continue;
        leastTrip = trip;
        best.OffsetNs = exchange.AgentNs - (exchange.SentNs + trip / 2);
        best.UncertaintyNs = (trip + 1) / 2;
    }
    return best;
}

int64_t WallClockNs()
{
    timespec now{};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int64_t AgentClockNs()
{
    static const char *shift = getenv("TFX_TEST_CLOCK_SHIFT_MS");
    return WallClockNs() + (shift != nullptr ? strtoll(shift, nullptr, 10) * 1000000 : 0);
}
