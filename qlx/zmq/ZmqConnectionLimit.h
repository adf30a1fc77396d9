/* The connections a ZeroMQ service accepts, kept below the process's
 * descriptor limit.
 *
 * libzmq 4.3.4 aborts the whole process when its ipc:// listener finds no
 * descriptor free for a new connection (accept4 fails with EMFILE), and its
 * tcp:// listener then spins on that connection. Both accept every connection
 * through accept4, which this unit supplies to the process: a connection that
 * would take a descriptor at or past the ceiling is closed at once and
 * reported to ZeroMQ as aborted by its peer, which ZeroMQ passes over. The
 * peers already connected are served as before; the refused client's ZeroMQ
 * connects again after its reconnect interval (100 ms unless it set another),
 * its messages waiting in its own queue, and is served once a descriptor
 * below the ceiling is free. */
#ifndef TFX_QLX_ZMQCONNECTIONLIMIT_H
#define TFX_QLX_ZMQCONNECTIONLIMIT_H

#include <cstdint>

namespace qlx {

enum : uint64_t {
    DefaultConnectionLimit = 1000, /* QLX_MAX_CONNECTIONS when it is not set */
    GreatestConnectionLimit = 1000000,
    /* Descriptors kept free for everything but connections: the library's
     * own sockets and files, the statistics file, the program's files. */
    DescriptorReserve = 64,
};

/* Raises the soft descriptor limit to the hard one and sets the ceiling of
 * accepted connections: QLX_MAX_CONNECTIONS past the lowest descriptor free
 * now, and never past the descriptor limit less the reserve. The ceiling is
 * the process's, set by the service opened last. False, with the failure
 * recorded, for a bad setting or a limit that leaves no room. */
bool LimitConnections();

/* The descriptor number from which accepted connections are refused. */
int ConnectionCeiling();

/* The process's connections: accepted and refused so far, and of those
 * accepted, the ones still open now (a system call for each). */
struct ConnectionCounts {
    uint64_t Open;
    uint64_t Accepted;
    uint64_t Refused;
};
ConnectionCounts CountConnections();

} // namespace qlx

#endif
