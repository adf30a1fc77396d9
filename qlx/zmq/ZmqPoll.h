/* The wait of a client's poll over its connections, whatever their
 * transports: zmq_poll takes ZeroMQ sockets and plain descriptors alike. */
#ifndef TFX_QLX_ZMQPOLL_H
#define TFX_QLX_ZMQPOLL_H

#include <cstdint>

#include "qlx/core/Transport.h"

namespace qlx {

/* Waits up to waitMs (negative: no end) until any of count targets (at most
 * ConnectionLimit) may hold a reply; sets ready[i] to 1 for those, 0 for the
 * others. Returns the number ready, 0 when none (a signal included), -1 when
 * the wait failed (recorded). */
int WaitForAny(const WaitTarget *targets, uint32_t count, int32_t waitMs, uint8_t *ready);

} // namespace qlx

#endif
