/* A C11 program of its own on libqlx: it sees only the installed headers and
 * links only libqlx and ZeroMQ. It serves an element, sends it a transaction
 * and answers it, all in one process; exit code 0 when the response came back
 * whole. */
#define _POSIX_C_SOURCE 200809L

#include <qlx/qlx.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int Failed(const char *call)
{
    QLXERROR error = {0};
    (void)qlxGetLastError(&error);
    fprintf(stderr, "%s failed: %s\n", call, error.PrimaryResult.Text);
    return 1;
}

int main(void)
{
    char dir[] = "/tmp/qlx-alone-XXXXXX";
    if (mkdtemp(dir) == NULL)
        return 1;
    (void)setenv("QLX_DIR", dir, 1);
    (void)unsetenv("QLX_ENDPOINT");

    QLXSERVICEADDRESS address = QLX_DEFAULT_SERVICE_ADDRESS;
    strcpy(address.Name, "Alone");
    QLXHCONN service = 0;
    QLXHCONN client = 0;
    if (!qlxServerInitialize(&address, &service))
        return Failed("qlxServerInitialize");
    if (!qlxClientConnect(&address, &client))
        return Failed("qlxClientConnect");

    QLXREQUEST request = QLX_DEFAULT_REQUEST;
    request.RequestId = 7;
    request.Data = "ping";
    request.DataLength = 4;
    if (!qlxClientSend(client, &request))
        return Failed("qlxClientSend");

    QLXMESSAGE message = QLX_DEFAULT_MESSAGE;
    QLXGETOPTIONS get = QLX_DEFAULT_GET_OPTIONS;
    get.WaitInterval = 10000;
    QLXPUTOPTIONS put = QLX_DEFAULT_PUT_OPTIONS;
    QLXHREQ handle = 0;
    if (!qlxGetRequest(service, &message, &get, NULL, &handle))
        return Failed("qlxGetRequest");
    if (!qlxPutResponse(service, &message, &put, NULL, &handle))
        return Failed("qlxPutResponse");
    (void)qlxFreeBuffer(service, &message.Buffer);

    QLXREPLY reply = QLX_DEFAULT_REPLY;
    if (!qlxClientReceive(client, &reply, 10000))
        return Failed("qlxClientReceive");
    int whole = reply.Kind == QLX_REPLY_RESPONSE && reply.RequestId == 7 && reply.DataLength == 4 &&
                memcmp(reply.Data, "ping", 4) == 0;
    (void)qlxTerminate(&client);
    (void)qlxTerminate(&service);
    char lock[sizeof dir + 16];
    (void)snprintf(lock, sizeof lock, "%s/Alone.lock", dir);
    (void)unlink(lock);
    (void)rmdir(dir);
    if (!whole)
        fprintf(stderr, "the response did not come back whole\n");
    return whole ? 0 : 1;
}
