#include "client/JsonReport.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "client/SummaryReport.h"
#include "client/ValueParsing.h"

namespace {

/* A JSON text built in one string: values are written after a key inside an
 * object, or alone inside an array; commas are placed as needed. */
class JsonWriter {
  public:
    void Open(const char *key, char bracket)
    {
        Key(key);
        text_ += bracket;
        first_ = true;
    }
    void Close(char bracket)
    {
        text_ += bracket;
        first_ = false;
    }
    void Number(const char *key, uint64_t value)
    {
        Key(key);
        text_ += std::to_string(value);
    }
    void SignedNumber(const char *key, int64_t value)
    {
        Key(key);
        text_ += std::to_string(value);
    }
    void Real(const char *key, double value)
    {
        Key(key);
        if (!std::isfinite(value)) {
            text_ += "null";
            return;
        }
        /* The shortest text that reads back as the same number. */
        char number[40];
        for (int digits = 15; digits <= 17; ++digits) {
            (void)snprintf(number, sizeof number, "%.*g", digits, value);
            if (strtod(number, nullptr) == value)
                break;
        }
        text_ += number;
    }
    void Bool(const char *key, bool value)
    {
        Key(key);
        text_ += value ? "true" : "false";
    }
    void Null(const char *key)
    {
        Key(key);
        text_ += "null";
    }
    void String(const char *key, const std::string &value)
    {
        Key(key);
        Quote(value);
    }
    const std::string &Text() const { return text_; }

  private:
    /* A null key is an array element. */
    void Key(const char *key)
    {
        if (!first_)
            text_ += ',';
        first_ = false;
        if (key == nullptr)
            return;
        Quote(key);
        text_ += ':';
    }
    void Quote(const std::string &value)
    {
        text_ += '"';
        for (unsigned char c : value) {
            if (c == '"' || c == '\\') {
                text_ += '\\';
                text_ += static_cast<char>(c);
            } else if (c < 0x20 || c == 0x7F) {
                char escaped[8];
                (void)snprintf(escaped, sizeof escaped, "\\u%04x", c);
                text_ += escaped;
            } else {
                text_ += static_cast<char>(c);
            }
        }
        text_ += '"';
    }

    std::string text_;
    bool first_ = true;
};

/* The length of the UTF-8 character at text[at] in its shortest form, or 0
 * when the bytes there are not one. */
size_t Utf8Length(const std::string &text, size_t at)
{
    unsigned char lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80)
        return 1;
    size_t length = (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
    if (length == 0 || at + length > text.size())
        return 0;
    uint32_t code = lead & (0x7Fu >> length);
    for (size_t i = 1; i < length; ++i) {
        unsigned char next = static_cast<unsigned char>(text[at + i]);
        if ((next >> 6) != 2)
            return 0;
        code = (code << 6) | (next & 0x3Fu);
    }
    static const uint32_t Smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < Smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

/* Bytes that are not valid UTF-8 become '?', so every string stays valid
 * JSON whatever a user gave as element name or message id. */
std::string ValidUtf8(const std::string &text)
{
    std::string clean;
    for (size_t i = 0; i < text.size();) {
        size_t length = Utf8Length(text, i);
        if (length == 0) {
            clean += '?';
            ++i;
            continue;
        }
        clean.append(text, i, length);
        i += length;
    }
    return clean;
}

void WriteLatency(JsonWriter *json, const char *key, const Histogram &latency,
                  const std::vector<double> &percentiles)
{
    json->Open(key, '{');
    json->Number("samples", latency.Count());
    bool any = latency.Count() != 0;
    any ? json->Number("min", latency.Min()) : json->Null("min");
    any ? json->Real("mean", latency.Mean()) : json->Null("mean");
    any ? json->Number("max", latency.Max()) : json->Null("max");
    json->Open("percentiles", '{');
    for (double percentile : percentiles) {
        std::string name = PercentileName(percentile);
        any ? json->Number(name.c_str(), latency.Percentile(percentile)) : json->Null(name.c_str());
    }
    json->Close('}');
    json->Open("buckets", '[');
    latency.ForEachBucket([json](uint64_t low, uint64_t high, uint64_t count) {
        json->Open(nullptr, '[');
        json->Number(nullptr, low);
        json->Number(nullptr, high);
        json->Number(nullptr, count);
        json->Close(']');
    });
    json->Close(']');
    json->Close('}');
}

void WriteSettings(JsonWriter *json, const ClientSettings &settings, const RunResult &result)
{
    json->Open("settings", '{');
    json->String("element", ValidUtf8(settings.Element));
    json->Number("connections", settings.Connections);
    json->Number("window", settings.Window);
    settings.Rate > 0.0 ? json->Real("rate", settings.Rate) : json->Null("rate");
    settings.CountLimited ? json->Number("count", settings.Count) : json->Null("count");
    settings.Duration > 0.0 ? json->Real("duration_s", settings.Duration)
                            : json->Null("duration_s");
    json->Number("size_min", settings.SizeMin);
    json->Number("size_max", settings.SizeMax);
    json->Real("datagram_percent", settings.DatagramPercent);
    settings.MsgIdGiven ? json->String("message_id", ValidUtf8(settings.MsgId))
                        : json->Null("message_id");
    json->Real("timeout_s", settings.Timeout);
    json->Real("warmup_s", settings.Warmup);
    json->Number("seed", result.Seed);
    json->Bool("verify", settings.Verify);
    settings.ExpectMax != 0 ? json->Number("expect_size_min", settings.ExpectMin)
                            : json->Null("expect_size_min");
    settings.ExpectMax != 0 ? json->Number("expect_size_max", settings.ExpectMax)
                            : json->Null("expect_size_max");
    json->Open("percentiles", '[');
    for (double percentile : settings.Percentiles)
        json->Real(nullptr, percentile);
    json->Close(']');
    json->Bool("stop_request", settings.StopRequest);
    json->Close('}');
}

void WriteCounts(JsonWriter *json, const RunCounts &counts)
{
    json->Open("counts", '{');
    const struct {
        const char *Name;
        uint64_t Value;
    } Fields[] = {
        {"messages", counts.Messages},
        {"transactions", counts.Transactions},
        {"datagrams", counts.Datagrams},
        {"completed", counts.Completed},
        {"refused", counts.Refused},
        {"timed_out", counts.TimedOut},
        {"unfinished", counts.Outstanding()},
        {"closed_without_response", counts.Unanswered},
        {"notify_responses", counts.Notify},
        {"normal_responses", counts.Normal},
        {"alerts", counts.Alerts},
        {"late_replies", counts.Late},
        {"notify_after_normal", counts.NotifyAfterNormal},
        {"unknown_request_ids", counts.UnknownRequest},
        {"checked", counts.Checked},
        {"check_failures", counts.CheckFailures},
        {"warmup_messages", counts.WarmupMessages},
        {"warmup_transactions", counts.WarmupTransactions},
        {"measured_messages", counts.MeasuredMessages},
        {"measured_completed", counts.MeasuredCompleted},
        {"sends_put_off", counts.QueueFull},
    };
    for (const auto &field : Fields)
        json->Number(field.Name, field.Value);
    json->Close('}');
    json->Bool("balanced", counts.Outstanding() == 0);
    json->Open("refused_by_reason", '[');
    for (const auto &[reason, count] : counts.RefusedByReason) {
        json->Open(nullptr, '{');
        json->SignedNumber("reason", reason);
        json->String("meaning", RefusalText(reason));
        json->Number("count", count);
        json->Close('}');
    }
    json->Close(']');
}

void WriteServerView(JsonWriter *json, const ServerView &server)
{
    json->Open("server_view", '{');
    json->Number("transactions", server.Transactions);
    json->Number("datagrams", server.Messages - server.Transactions);
    json->Number("total", server.Messages);
    json->Number("size_min", server.MinSize);
    json->Number("size_avg", server.Messages != 0 ? server.TotalSize / server.Messages : 0);
    json->Number("size_max", server.MaxSize);
    json->Number("size_total", server.TotalSize);
    json->Close('}');
}

void WriteThresholds(JsonWriter *json, const ClientSettings &settings,
                     const std::vector<ThresholdOutcome> &outcomes)
{
    json->Open("thresholds", '[');
    for (size_t i = 0; i < settings.Thresholds.size() && i < outcomes.size(); ++i) {
        json->Open(nullptr, '{');
        json->String("condition", ValidUtf8(settings.Thresholds[i].Text));
        json->Bool("met", outcomes[i].Met);
        outcomes[i].HasValue ? json->Real("value", outcomes[i].Value) : json->Null("value");
        json->Close('}');
    }
    json->Close(']');
}

void WriteFailure(JsonWriter *json, const RunResult &result)
{
    if (!result.Failed) {
        json->Null("failure");
        return;
    }
    json->Open("failure", '{');
    std::string call = result.FailureLabel.substr(0, result.FailureLabel.find(':'));
    json->String("call", call);
    json->SignedNumber("reason", result.Failure.PrimaryResult.ReasonCode);
    json->String("text", ValidUtf8(std::string(result.Failure.PrimaryResult.Text,
                                               strnlen(result.Failure.PrimaryResult.Text,
                                                       sizeof result.Failure.PrimaryResult.Text))));
    json->String("detail", ValidUtf8(std::string(result.Failure.SubResult.Text,
                                                 strnlen(result.Failure.SubResult.Text,
                                                         sizeof result.Failure.SubResult.Text))));
    json->Close('}');
}

} // namespace

std::string RunResultJson(const ClientSettings &settings, const RunResult &result,
                          const std::vector<ThresholdOutcome> &outcomes, int exitCode)
{
    JsonWriter json;
    json.Open(nullptr, '{');
    json.String("tool", "tfxclnt");
    WriteSettings(&json, settings, result);
    json.String("ended_by", EndReasonName(result.Ended));
    json.Real("elapsed_s", result.ElapsedSeconds());
    json.Real("sending_s", static_cast<double>(result.SendingEndNs - result.StartNs) / 1e9);
    json.Real("measured_s", result.MeasuredSeconds());
    WriteCounts(&json, result.Counts);
    if (result.FirstCheckFailure.empty())
        json.Null("first_check_failure");
    else
        json.String("first_check_failure", ValidUtf8(result.FirstCheckFailure));
    WriteLatency(&json, "latency_ns", result.Latency, settings.Percentiles);
    if (settings.Rate > 0.0) {
        WriteLatency(&json, "uncorrected_latency_ns", result.Uncorrected, settings.Percentiles);
        WriteLatency(&json, "send_lag_ns", result.SendLag, {50.0, 99.0});
    } else {
        json.Null("uncorrected_latency_ns");
        json.Null("send_lag_ns");
    }
    if (settings.Warmup > 0.0)
        WriteLatency(&json, "warmup_latency_ns", result.Warmup, settings.Percentiles);
    else
        json.Null("warmup_latency_ns");
    json.Open("throughput", '{');
    json.Real("transactions_per_s", result.TransactionsPerSecond());
    json.Real("messages_per_s", result.MessagesPerSecond());
    json.Close('}');
    WriteServerView(&json, result.Server);
    WriteThresholds(&json, settings, outcomes);
    WriteFailure(&json, result);
    json.SignedNumber("exit_code", exitCode);
    json.Close('}');
    return json.Text() + "\n";
}

bool CheckWritable(const std::string &path, std::string *error)
{
    FILE *file = fopen(path.c_str(), "a");
    if (file == nullptr) {
        *error = path + ": cannot be written (" + strerror(errno) + ")";
        return false;
    }
    (void)fclose(file);
    return true;
}

bool WriteFileWhole(const std::string &path, const std::string &text, std::string *error)
{
    std::string temporary = path + ".tmp";
    FILE *file = fopen(temporary.c_str(), "w");
    if (file == nullptr) {
        *error = temporary + ": cannot be written (" + strerror(errno) + ")";
        return false;
    }
    bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
    written = fclose(file) == 0 && written;
    if (written && rename(temporary.c_str(), path.c_str()) == 0)
        return true;
    *error = path + ": cannot be written (" + strerror(errno) + ")";
    (void)unlink(temporary.c_str());
    return false;
}
