/* What the server holds for the whole run: the service records, built once
 * and reused, the two handles and its own reply buffer. */
#ifndef TFX_SERVER_SERVICERUN_H
#define TFX_SERVER_SERVICERUN_H

#include "qlx/ServiceRecords.h"

struct ServiceRun {
    QLXSERVICEADDRESS ServiceAddress;
    QLXMESSAGE MessageRecord; /* refilled by every qlxGetRequest, never reset */
    QLXGETOPTIONS GetOptions;
    QLXPUTOPTIONS PutOptions;
    QLXHCONN hConn;    /* written by qlxServerInitialize */
    QLXHREQ hRequest;  /* written by each qlxGetRequest */
    char *ReplyBuffer; /* the server's own reply data, for one transaction */
};

#endif
