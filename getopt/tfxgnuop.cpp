#include "getopt/tfxgnuop.h"

#include <cstdio>

#include "getopt/index.h"

char *optarg = nullptr;
int optind = 0;
int opterr = 1;
int optopt = '?';

static char *currCh = nullptr; /* next character of the current argument; null = scanning over */
static int startParam = 0;     /* non-zero: the next call begins the argument at optind */
static char EndOfArgument[] = "";

/* Skips the '+' or '-' that may lead the option list. */
static const char *EffectiveList(const char *optstring)
{
    if (optstring[0] == '+' || optstring[0] == '-')
        return optstring + 1;
    return optstring;
}

/* Looks at argv[optind] when a new argument begins. Returns 0 when it holds
 * options to scan, -1 when the options are over. */
static int BeginArgument(char **argv)
{
    char *arg = argv[optind];
    if (arg[0] != '-' || arg[1] == '\0') {
        currCh = nullptr;
        return -1;
    }
    if (arg[1] == '-' && arg[2] == '\0') {
        ++optind;
        currCh = nullptr;
        return -1;
    }
    currCh = arg + 1;
    startParam = 0;
    return 0;
}

static int ErrorResult(const char *list)
{
    return list[0] == ':' ? ':' : '?';
}

/* Takes the argument of option ch from the rest of the current argument or
 * from the next one. Returns ch, or the error result when it is missing. */
static int TakeArgument(int argc, char **argv, const char *list, const char *spec, int ch)
{
    if (*currCh != '\0') {
        optarg = currCh;
        currCh = EndOfArgument;
        return ch;
    }
    if (spec[2] == ':') {
        currCh = EndOfArgument;
        return ch;
    }
    ++optind;
    if (optind >= argc) {
        if (opterr)
            fprintf(stderr, "%s: option requires an argument -- %c\n", argv[0], ch);
        optopt = ch;
        currCh = nullptr;
        return ErrorResult(list);
    }
    optarg = argv[optind];
    currCh = EndOfArgument;
    return ch;
}

int tfx_getopt(int argc, char **argv, const char *optstring)
{
    const char *list = EffectiveList(optstring);
    optarg = nullptr;
    if (optind == 0) {
        optind = 1;
        startParam = 1;
    } else if (currCh == nullptr) {
        return -1;
    }
    if (optind >= argc)
        return -1;
    if (startParam && BeginArgument(argv) < 0)
        return -1;

    int ch = static_cast<signed char>(*currCh++);
    const char *spec = index(list, ch);
    int result = ch;
    if (spec == nullptr || ch == ':') {
        if (opterr)
            fprintf(stderr, "%s: illegal option -- %c\n", argv[0], ch);
        optopt = ch;
        result = ErrorResult(list);
    } else if (spec[1] == ':') {
        result = TakeArgument(argc, argv, list, spec, ch);
    }

    if (currCh != nullptr && *currCh == '\0') {
        ++optind;
        currCh = argv[optind];
        startParam = 1;
    }
    return result;
}
