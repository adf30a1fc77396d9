/* A program of its own on libqlx: it sees only the installed headers and
 * links only libqlx and ZeroMQ. It serves an element, sends it a transaction
 * and answers it, all in one process; exit code 0 when the response came back
 * whole. */
#include <qlx/qlx.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

static int Failed(const char *call)
{
    QLXERROR error{};
    (void)qlxGetLastError(&error);
    fprintf(stderr, "%s failed: %s\n", call, error.PrimaryResult.Text);
    return 1;
}

int main()
{
    char dir[] = "/tmp/qlx-alone-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return 1;
    (void)setenv("QLX_DIR", dir, 1);
    (void)unsetenv("QLX_ENDPOINT");

    QLXSERVICEADDRESS address = DefaultServiceAddress;
    strcpy(address.Name, "Alone");
    QLXHCONN service = 0;
    QLXHCONN client = 0;
    if (!qlxServerInitialize(&address, &service))
        return Failed("qlxServerInitialize");
    if (!qlxClientConnect(&address, &client))
        return Failed("qlxClientConnect");

    QLXREQUEST request = DefaultRequest;
    request.RequestId = 7;
    request.Data = "ping";
    request.DataLength = 4;
    if (!qlxClientSend(client, &request))
        return Failed("qlxClientSend");

    QLXMESSAGE message = DefaultMessageRecord;
    QLXGETOPTIONS get = DefaultGetOptions;
    get.WaitInterval = 10000;
    QLXPUTOPTIONS put = DefaultPutOptions;
    QLXHREQ handle = 0;
    if (!qlxGetRequest(service, &message, &get, nullptr, &handle))
        return Failed("qlxGetRequest");
    if (!qlxPutResponse(service, &message, &put, nullptr, &handle))
        return Failed("qlxPutResponse");
    (void)qlxFreeBuffer(service, &message.Buffer);

    QLXREPLY reply = DefaultReply;
    if (!qlxClientReceive(client, &reply, 10000))
        return Failed("qlxClientReceive");
    bool whole = reply.Kind == QLX_REPLY_RESPONSE && reply.RequestId == 7 &&
                 reply.DataLength == 4 && memcmp(reply.Data, "ping", 4) == 0;
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
