#include "server/FatalFailure.h"

#include <cstdlib>

#include "qlx/qlx.h"
#include "binding/tfxcodes.h"
#include "server/RunSettings.h"

QLXERROR Err = {};

void FatalFailure(const char *label, QLXHCONN *hConn)
{
    (void)qlxGetLastError(&Err);
    ProcessError(&Err, label, Popups);
    (void)qlxTerminate(hConn);
    exit(1);
}
