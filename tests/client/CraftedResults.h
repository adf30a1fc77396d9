/* Results edited to hold one bad figure, and the refusal that names it:
 * what tfxclnt -M refuses, and tfxplot and tfxcompare refuse alike. */
#ifndef TFX_TESTS_CLIENT_CRAFTEDRESULTS_H
#define TFX_TESTS_CLIENT_CRAFTEDRESULTS_H

#include <string>
#include <utility>
#include <vector>

#include "client/results/JsonReport.h"
#include "client/results/ResultDocument.h"

namespace tfxtest {

struct CraftedResult {
    std::string Pointer; /* the member edited, a JSON pointer */
    std::string Value;   /* its new JSON text */
    std::string Error;   /* the refusal, after "FILE: " */
};

/* Each edits the result of a run of 3 completed transactions of 1000 ns and
 * 1 refused. */
inline const std::vector<CraftedResult> &CraftedResults()
{
    static const std::vector<CraftedResult> results = {
        {"", "[1e999]", "not JSON: number overflow parsing '1e999'"},
        {"/elapsed_s", "1e999", "not JSON: number overflow parsing '1e999'"},
        {"/counts/transactions", "-1",
         "counts.transactions: -1 is not a whole number from 0 to 9007199254740992"},
        {"/latency_ns/buckets/0/2", "1152921504606846976",
         "latency_ns.buckets[0][2]: 1152921504606846976 is not a whole number from 1 to "
         "9007199254740992"},
        {"/latency_ns/buckets/0/2", "-3",
         "latency_ns.buckets[0][2]: -3 is not a whole number from 1 to 9007199254740992"},
        {"/latency_ns/samples", "7",
         "latency_ns.buckets: the counts add up to 3, not to the 7 samples"},
        {"/latency_ns/max", "1",
         "latency_ns.max: 1 is not a whole number from 1000 to 9007199254740992"},
        {"/counts/completed", "9",
         "counts: completed, refused and timed_out add up to 10, more than the 4 transactions"},
        {"/settings/connections", "1.5",
         "settings.connections: 1.5 is not a whole number from 1 to 204800"},
        {"/settings", "[]", "not a whole result of tfxclnt: \"settings\" is missing"},
        {"/refused_by_reason/0/count", "2",
         "refused_by_reason: adds up to more than the 1 refused of counts"},
        {"/ended_by", "\"lunch\"", "ended_by: \"lunch\" is not a way a run ends"},
        {"/server_view", "[]", "server_view: [] is not an object"},
    };
    return results;
}

/* The result the crafted ones edit: a run of element E1 that started at
 * 100 s on the wall clock and lasted 10 s, 3 transactions completed in
 * 1000 ns each and 1 refused. */
inline std::string CraftedBase()
{
    static RunResult result;
    RunResult fresh; /* swapped, not assigned: GCC 12 takes the temporary's map for uninitialized */
    std::swap(result, fresh);
    ClientSettings settings;
    settings.Element = "E1";
    result.StartUnixNs = 100000000000;
    result.EndNs = result.SendingEndNs = 10000000000;
    result.Counts.Messages = result.Counts.Transactions = result.Counts.MeasuredMessages = 4;
    result.Counts.Completed = result.Counts.MeasuredCompleted = 3;
    result.Counts.RefusedByReason[64] = result.Counts.Refused = 1;
    for (int i = 0; i < 3; ++i)
        result.Latency.Record(1000);
    return RunResultJson(settings, result, {}, 1);
}

/* The text of the result with the member at the pointer set to the value. */
inline std::string CraftedText(const std::string &text, const CraftedResult &crafted)
{
    ResultJson json = ResultJson::parse(text);
    json[ResultJson::json_pointer(crafted.Pointer)] = "@@";
    std::string edited = json.dump();
    return edited.replace(edited.find("\"@@\""), 4, crafted.Value);
}

} // namespace tfxtest

#endif
