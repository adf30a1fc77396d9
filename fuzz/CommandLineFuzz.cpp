/* The server's command line: the option scanner over any argument vector,
 * and the readers of the option arguments over any text. */
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzInput.h"
#include "getopt/tfxgnuop.h"
#include "server/OptionValues.h"

static void Check(bool condition)
{
    if (!condition)
        abort();
}

static bool PointsInto(const char *pointer, const std::vector<std::string> &args)
{
    for (const std::string &arg : args) {
        if (pointer >= arg.data() && pointer <= arg.data() + arg.size())
            return true;
    }
    return false;
}

static void ReadValue(const char *text)
{
    int first = 7;
    int second = 9;
    int fields = ScanIntPair(text, ':', &first, &second);
    Check(fields >= -1 && fields <= 2);
    Check(ScanIntPair(text, '-', &first, &second) >= -1);
    (void)TextToInt(text);
    ReadInterval(text, &first, &second);
    char msgId[24];
    std::memset(msgId, 'x', sizeof msgId);
    FormatMsgId(text, msgId);
    Check(msgId[23] == '\0' && std::strlen(msgId) == 23);
}

/* Input: arguments separated by zero bytes; the first is the program name. */
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input{data, size};
    std::string rest = input.TakeRest();
    std::vector<std::string> args{"tfxsrvr"};
    for (size_t start = 0; start <= rest.size() && args.size() < 64;) {
        size_t end = rest.find('\0', start);
        if (end == std::string::npos)
            end = rest.size();
        args.push_back(rest.substr(start, end - start));
        start = end + 1;
    }
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(args.size());
    /* One call per option character at most, and one to end. */
    size_t callLimit = rest.size() + 2;

    optind = 0;
    opterr = 0;
    for (size_t calls = 0;; ++calls) {
        Check(calls <= callLimit);
        int option = tfx_getopt(argc, argv.data(), "c:t:i:s:pm:a:q?h");
        Check(optind >= 1 && optind <= argc);
        if (option == -1)
            break;
        if (optarg == nullptr)
            continue;
        Check(PointsInto(optarg, args));
        ReadValue(optarg);
    }
    return 0;
}
