/* The result reader of tfxclnt -M: any bytes as one or two result files are
 * merged or refused with a text, never an exception, abort, hang or
 * unbounded allocation, and whatever merges can be summed up, written as
 * JSON and as the histogram text of -H. */
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "client/results/JsonReport.h"
#include "client/results/PercentileDistribution.h"
#include "client/results/ResultMerge.h"
#include "client/reports/SummaryReport.h"

static void Check(bool condition)
{
    if (!condition)
        abort();
}

/* An in-memory file of this process, by a path any open() takes, holding text. */
static std::string FileHolding(int *fd, const char *name, const std::string &text)
{
    if (*fd < 0)
        *fd = memfd_create(name, MFD_CLOEXEC);
    Check(*fd >= 0 && ftruncate(*fd, 0) == 0);
    Check(pwrite(*fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()));
    return "/proc/self/fd/" + std::to_string(*fd);
}

/* Input: the first result file up to the first line feed, the second after it. */
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int first = -1, second = -1;
    std::string text(reinterpret_cast<const char *>(data), size);
    size_t feed = text.find('\n');
    std::vector<std::string> paths = {FileHolding(&first, "first", text.substr(0, feed))};
    if (feed != std::string::npos)
        paths.push_back(FileHolding(&second, "second", text.substr(feed + 1)));

    static ClientSettings settings;
    static RunResult result;
    settings = ClientSettings{};
    RunResult fresh; /* swapped, not assigned: GCC 12 takes the temporary's map for uninitialized */
    std::swap(result, fresh);
    std::string error;
    if (!MergeResultFiles(paths, &settings, &result, &error)) {
        Check(!error.empty());
        return 0;
    }
    static FILE *sink = fopen("/dev/null", "w");
    PrintSummary(sink, settings, result, {});
    Check(!PercentileDistributionText(result.Latency).empty());
    Check(!RunResultJson(settings, result, {}, 0).empty());
    return 0;
}
