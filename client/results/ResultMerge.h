/* tfxclnt -M: the results of runs made on several hosts, read back and
 * taken as one run. */
#ifndef TFX_CLIENT_RESULTMERGE_H
#define TFX_CLIENT_RESULTMERGE_H

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

#endif
