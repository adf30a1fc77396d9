/* A C11 program of a user's own, built from the installed libqlx-dev alone:
 * it sends one transaction to the element named by its argument and prints
 * the text of the response. Exit code 0 when a response came. */
#include <qlx/qlx.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    QLXSERVICEADDRESS address = QLX_DEFAULT_SERVICE_ADDRESS;
    strncpy(address.Name, argv[1], sizeof address.Name);
    QLXHCONN connection = 0;
    /* Room behind the line for the tag the server puts at its line feed. */
    char data[64] = "hello from a program of its own\n";
    QLXREQUEST request = QLX_DEFAULT_REQUEST;
    request.RequestId = 1;
    request.Data = data;
    request.DataLength = sizeof data;
    QLXREPLY reply = QLX_DEFAULT_REPLY;
    if (!qlxClientConnect(&address, &connection) || !qlxClientSend(connection, &request) ||
        !qlxClientReceive(connection, &reply, 10000)) {
        QLXERROR error = {0};
        (void)qlxGetLastError(&error);
        fprintf(stderr, "QlxHello: %s\n", error.PrimaryResult.Text);
        return 1;
    }
    fputs(reply.Data, stdout);
    (void)qlxTerminate(&connection);
    return 0;
}
