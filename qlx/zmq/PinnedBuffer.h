/* What a reply sent back in the very part it came in may keep from being
 * freed. ZeroMQ (libzmq 4.3) reads a connection into buffers of 8 KiB and
 * leaves each message of 33 to 8,191 data bytes in place there: the buffer,
 * 18,156 bytes with the counters of the messages it may hold, is freed only
 * when the last of them goes. Smaller data is copied into the message, larger
 * data gets memory of its own. */
#ifndef TFX_QLX_PINNEDBUFFER_H
#define TFX_QLX_PINNEDBUFFER_H

#include <cstdint>

#include "qlx/core/Transport.h"

namespace qlx {

enum : uint32_t {
    InPlaceDataLeast = 33,        /* data of fewer bytes is copied into its message */
    ReceiveBufferData = 8u << 10, /* the data ZeroMQ reads into one buffer */
    /* A buffer as ZeroMQ allocates it, rounded up: its data, a counter, and
     * a record for each message of 33 bytes it may hold. */
    ReceiveBufferCost = 18u << 10,
};

/* Whether this process's libzmq lays out its receive buffers as above; with
 * another, replies of such data are never sent back in place. */
bool ReceiveBuffersKnown();

/* The bytes to charge, besides the reply's own, for sending back in place
 * data that lies at data.Data, when the peer's last reply sent in place since
 * its last reported release lay at last (0: none). Data that lies past last,
 * within one buffer's data of it, lies in last's buffer if that buffer is
 * still allocated (two allocations of 18,156 bytes cannot both hold it), and
 * is charged nothing: the buffer was charged when the chain began, and if it
 * has been freed since, its charge, still held, covers the one now pinned. */
uint64_t ReceiveBufferCharge(uintptr_t last, Frame data);

} // namespace qlx

#endif
