/* tfxsrvr: the traffic server. */
#include "server/CommandLine.h"

int main(int argc, char **argv)
{
    ProcessArgs(argc, argv);
    InstallInterrupt();
    return 0;
}
