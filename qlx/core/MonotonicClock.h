/* The clock the library times its waits by. */
#ifndef TFX_QLX_MONOTONICCLOCK_H
#define TFX_QLX_MONOTONICCLOCK_H

#include <chrono>
#include <cstdint>

namespace qlx {

/* Nanoseconds since an arbitrary fixed point in the past, never going back
 * and unaffected by changes to the time of day. */
inline uint64_t MonotonicNs()
{
    auto sinceStart = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(sinceStart).count());
}

} // namespace qlx

#endif
