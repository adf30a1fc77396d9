#include "util/ConsoleInput.h"

#include <cstdio>

void WaitForEnter()
{
    (void)fflush(stdout);
    for (;;) {
        int ch = getchar();
        if (ch == '\n' || ch == EOF)
            return;
    }
}
