#include "qlx/zmq/ZmqPoll.h"

#include <cerrno>
#include <cstring>
#include <zmq.h>

#include "qlx/core/Connection.h"
#include "qlx/zmq/ZmqSocket.h"

namespace qlx {

/* zmq_poll waits on ZeroMQ sockets and plain descriptors alike. */
int WaitForAny(const WaitTarget *targets, uint32_t count, int32_t waitMs, uint8_t *ready)
{
    /* Each target's socket or descriptor, then its watch where it has one. */
    zmq_pollitem_t items[2 * ConnectionLimit];
    uint32_t owner[2 * ConnectionLimit];
    int used = 0;
    for (uint32_t i = 0; i < count; ++i) {
        owner[used] = i;
        items[used++] = zmq_pollitem_t{targets[i].Socket, targets[i].Fd, ZMQ_POLLIN, 0};
        if (targets[i].Watch == nullptr)
            continue;
        owner[used] = i;
        items[used++] = zmq_pollitem_t{targets[i].Watch, -1, ZMQ_POLLIN, 0};
    }
    int polled = zmq_poll(items, used, waitMs < 0 ? -1L : long{waitMs});
    if (polled < 0 && errno != EINTR) {
        DetailZmqErrno("zmq_poll", errno);
        return -1;
    }
    memset(ready, 0, count);
    for (int item = 0; polled > 0 && item < used; ++item)
        ready[owner[item]] |= (items[item].revents & ZMQ_POLLIN) ? 1 : 0;
    int readyCount = 0;
    for (uint32_t i = 0; i < count; ++i)
        readyCount += ready[i];
    return readyCount;
}

} // namespace qlx
