#include "client/options/Thresholds.h"

#include <cmath>
#include <cstring>

#include "client/values/FigureText.h"
#include "client/values/Histogram.h"
#include "client/values/ValueParsing.h"

static const char FigureList[] = "p<percentile>, min, mean, max (with a unit: ns, us, ms, s or m); "
                                 "sent, transactions, datagrams, completed, refused, timeouts, "
                                 "late, sequence, failed, alerts, notify, normal; tps, mps";

static const char *const CountFigures[] = {
    "sent", "transactions", "datagrams", "completed", "refused", "timeouts",
    "late", "sequence",     "failed",    "alerts",    "notify",  "normal",
};

static bool IsCountFigure(const std::string &figure)
{
    for (const char *name : CountFigures)
        if (figure == name)
            return true;
    return false;
}

/* Sorts the figure's name into its kind; false for a name it does not know. */
static bool ClassifyFigure(Threshold *threshold)
{
    const std::string &figure = threshold->Figure;
    if (figure == "min" || figure == "mean" || figure == "max") {
        threshold->Kind = FigureKind::Latency;
        return true;
    }
    if (figure.size() > 1 && figure[0] == 'p') {
        threshold->Kind = FigureKind::Latency;
        return ParseDecimal(figure.c_str() + 1, 0.0, 100.0, &threshold->Percentile);
    }
    if (figure == "tps" || figure == "mps") {
        threshold->Kind = FigureKind::Rate;
        return true;
    }
    threshold->Kind = FigureKind::Count;
    return IsCountFigure(figure);
}

/* Splits "<figure><op><value>" at its operator. */
static bool SplitCondition(const std::string &condition, Threshold *threshold, std::string *value)
{
    static const struct {
        const char *Text;
        Comparison Compare;
    } Operators[] = {
        {"<=", Comparison::LessOrEqual}, {">=", Comparison::GreaterOrEqual},
        {"==", Comparison::Equal},       {"!=", Comparison::NotEqual},
        {"<", Comparison::Less},         {">", Comparison::Greater},
        {"=", Comparison::Equal},
    };
    size_t at = condition.find_first_of("<>=!");
    if (at == std::string::npos || at == 0)
        return false;
    for (const auto &op : Operators) {
        size_t length = strlen(op.Text);
        if (condition.compare(at, length, op.Text) != 0)
            continue;
        threshold->Figure = condition.substr(0, at);
        threshold->Compare = op.Compare;
        *value = condition.substr(at + length);
        return true;
    }
    return false;
}

static bool ParseLimit(const std::string &value, Threshold *threshold)
{
    uint64_t number = 0;
    double seconds = 0.0;
    switch (threshold->Kind) {
    case FigureKind::Latency:
        if (!ParseDuration(value.c_str(), BareDuration::Refused, 0.0, 3600.0, &seconds))
            return false;
        threshold->Limit = std::round(seconds * 1e9);
        return true;
    case FigureKind::Count:
        if (!ParseCount(value.c_str(), 0, UINT64_MAX, &number))
            return false;
        threshold->Limit = static_cast<double>(number);
        return true;
    case FigureKind::Rate:
        return ParseRate(value.c_str(), 0.0, 1e12, &threshold->Limit);
    }
    return false;
}

static bool ParseCondition(const std::string &condition, Threshold *threshold, std::string *error)
{
    std::string value;
    threshold->Text = condition;
    threshold->Percentile = 0.0;
    if (!SplitCondition(condition, threshold, &value)) {
        *error =
            "-A " + condition + ": not a condition <figure><op><value>, op one of < <= > >= = !=";
        return false;
    }
    if (!ClassifyFigure(threshold)) {
        *error =
            "-A " + condition + ": unknown figure '" + threshold->Figure + "'; use " + FigureList;
        return false;
    }
    if (ParseLimit(value, threshold))
        return true;
    if (threshold->Kind == FigureKind::Latency)
        *error =
            "-A " + condition + ": '" + value +
            "' is not a latency; give a number and a unit (ns, us, ms, s or m), at most an hour";
    else if (threshold->Kind == FigureKind::Count)
        *error = "-A " + condition + ": '" + value +
                 "' is not a count; give a whole number, with k or M for thousands or millions";
    else
        *error = "-A " + condition + ": '" + value +
                 "' is not a rate; give a number per second, with k or M for thousands or millions";
    return false;
}

bool ParseThresholds(const char *text, std::vector<Threshold> *thresholds, std::string *error)
{
    std::vector<Threshold> parsed;
    std::string list = text;
    size_t start = 0;
    for (;;) {
        size_t comma = list.find(',', start);
        std::string condition =
            list.substr(start, comma == std::string::npos ? comma : comma - start);
        Threshold threshold{};
        if (!ParseCondition(condition, &threshold, error))
            return false;
        parsed.push_back(threshold);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    thresholds->insert(thresholds->end(), parsed.begin(), parsed.end());
    return true;
}

static double CountOf(const std::string &figure, const ThresholdFigures &figures)
{
    const struct {
        const char *Name;
        uint64_t Value;
    } Counts[] = {
        {"sent", figures.Sent},
        {"transactions", figures.Transactions},
        {"datagrams", figures.Datagrams},
        {"completed", figures.Completed},
        {"refused", figures.Refused},
        {"timeouts", figures.TimedOut},
        {"late", figures.Late},
        {"sequence", figures.OutOfSequence},
        {"failed", figures.CheckFailures},
        {"alerts", figures.Alerts},
        {"notify", figures.Notify},
        {"normal", figures.Normal},
    };
    for (const auto &count : Counts)
        if (figure == count.Name)
            return static_cast<double>(count.Value);
    return 0.0;
}

static bool Compare(double value, Comparison compare, double limit)
{
    switch (compare) {
    case Comparison::Less:
        return value < limit;
    case Comparison::LessOrEqual:
        return value <= limit;
    case Comparison::Greater:
        return value > limit;
    case Comparison::GreaterOrEqual:
        return value >= limit;
    case Comparison::Equal:
        return value == limit;
    case Comparison::NotEqual:
        return value != limit;
    }
    return false;
}

ThresholdOutcome EvaluateThreshold(const Threshold &threshold, const ThresholdFigures &figures)
{
    double value = 0.0;
    switch (threshold.Kind) {
    case FigureKind::Latency: {
        const Histogram &latency = *figures.Latency;
        if (latency.Count() == 0)
            return ThresholdOutcome{false, false, 0.0};
        if (threshold.Figure == "min")
            value = static_cast<double>(latency.Min());
        else if (threshold.Figure == "max")
            value = static_cast<double>(latency.Max());
        else if (threshold.Figure == "mean")
            value = latency.Mean();
        else
            value = static_cast<double>(latency.Percentile(threshold.Percentile));
        break;
    }
    case FigureKind::Count:
        value = CountOf(threshold.Figure, figures);
        break;
    case FigureKind::Rate:
        value =
            threshold.Figure == "tps" ? figures.TransactionsPerSecond : figures.MessagesPerSecond;
        break;
    }
    return ThresholdOutcome{Compare(value, threshold.Compare, threshold.Limit), true, value};
}

std::string ThresholdValueText(const Threshold &threshold, double value)
{
    switch (threshold.Kind) {
    case FigureKind::Latency:
        return LatencyText(value);
    case FigureKind::Count:
        return FixedText(value, 0);
    case FigureKind::Rate:
        return FixedText(value, 1);
    }
    return FixedText(value, 1);
}
