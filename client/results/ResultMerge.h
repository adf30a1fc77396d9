/* tfxclnt -M: the results of runs made on several hosts, read back and
 * taken as one run. */
#ifndef TFX_CLIENT_RESULTMERGE_H
#define TFX_CLIENT_RESULTMERGE_H

#include <memory>
#include <string>
#include <vector>

#include "client/options/ClientOptions.h"
#include "client/results/ResultDocument.h"
#include "client/results/RunResult.h"

/* Reads the result files and merges them into *result: counts added,
 * latency histograms merged bucket by bucket (percentiles then come from the
 * merged histogram), the run time the union of the runs' times on the wall
 * clock, so throughput is over the time any of them ran. *settings takes
 * what the summary shows of the runs (connections and rates added); its
 * percentiles, conditions and output files stay as given. Every figure
 * read is checked; result->MergedFrom takes the runs merged, each of which
 * merges once, and result->Mixed what their settings differ in. False with
 * *error naming the file and what is wrong with it. */
bool MergeResultFiles(const std::vector<std::string> &paths, ClientSettings *settings,
                      RunResult *result, std::string *error);

/* The same for result documents already read, each named in an error by
 * the name at its index. */
bool MergeResultDocuments(const std::vector<ResultJson> &documents,
                          const std::vector<std::string> &names, ClientSettings *settings,
                          RunResult *result, std::string *error);

/* One run of a merge, as its result holds it: what the summary shows of its
 * settings, its figures and its times on the wall clock. */
struct MergePart {
    std::string Name; /* how an error names it */
    ClientSettings Settings;
    /* Counts, server view, latencies, end and failure; MergedFrom the runs
     * it holds. */
    RunResult Result;
    double StartS = 0.0; /* since 1970 */
    double ElapsedS = 0.0;
    double MeasuredS = 0.0; /* up to the end */
    double SendingS = 0.0;
};

/* Reads a result document into *part, every figure checked, and its run
 * of element unless that is empty. False with *error saying what is wrong,
 * without the part's name. */
bool ReadMergePart(const ResultJson &document, const std::string &element, MergePart *part,
                   std::string *error);

/* Takes the times of part's own run from its result, as the result's JSON
 * would hold them, and the run itself as the one run it holds. */
void TimesOfRun(MergePart *part);

/* The runs of a merge, taken one at a time, as MergeResultFiles merges
 * them into *settings and *result. */
class ResultMerger {
  public:
    ResultMerger(ClientSettings *settings, RunResult *result);
    ~ResultMerger();
    ResultMerger(const ResultMerger &) = delete;
    ResultMerger &operator=(const ResultMerger &) = delete;

    /* Adds a part of the element of those before it; false with *error
     * naming the part when it holds a run merged already. */
    bool Add(const MergePart &part, std::string *error);
    /* The merged run's times, once every part was added. */
    void Finish();

  private:
    struct State;
    ClientSettings *settings_;
    RunResult *result_;
    std::unique_ptr<State> state_;
};

#endif
