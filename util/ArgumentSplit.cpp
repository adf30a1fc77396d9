#include "util/ArgumentSplit.h"

#include <cstring>

int ConstructArgs(char *line, char *name, char **argv)
{
    int count = 0;
    argv[count++] = name;
    const size_t length = strlen(line);
    int inArgument = 0;
    for (size_t i = 0; i < length; ++i) {
        if (line[i] == ' ') {
            line[i] = '\0';
            inArgument = 0;
            continue;
        }
        if (!inArgument) {
            argv[count++] = line + i;
            inArgument = 1;
        }
    }
    argv[count] = nullptr;
    return count;
}
