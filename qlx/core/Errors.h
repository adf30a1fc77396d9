/* The error record of each thread's last failed call. */
#ifndef TFX_QLX_ERRORS_H
#define TFX_QLX_ERRORS_H

#include <cstdint>
#include <new>

#include "qlx/ErrorRecord.h"

namespace qlx {

/* Notes why the next failure happens (the sub result), e.g. the errno of a
 * system call. It stays pending until Fail takes it. */
void Detail(int32_t code, const char *format, ...) __attribute__((format(printf, 2, 3)));

/* Records a failure of the running call: the primary result with its reason
 * code, and the pending detail as the sub result (an empty one, completion
 * code 0, when none is pending). Returns 0, the failure result of every call. */
int Fail(int32_t reason, const char *format, ...) __attribute__((format(printf, 2, 3)));

/* Records the client side's "no reply within the wait interval": the one
 * failure of a polling loop, so it is copied whole rather than formatted. */
int FailNoReply();

/* Notes errno after a failed system call named by what. */
void DetailErrno(const char *what, int error);

/* Whether a failed system call's error says the process, or the system,
 * has no descriptor left. */
bool OutOfDescriptors(int error);

/* Records that opening what needed a descriptor past the process's limit,
 * naming the limit and how to raise it. Returns 0. */
int FailOutOfDescriptors(const char *what, int error);

/* This thread's last error. */
const QLXERROR &LastError();

/* Runs call, the body of a C entry point: no exception gets out, and one that
 * would is recorded as the call's failure. */
template <typename Call> int Guarded(Call call) noexcept
{
    try {
        return call();
    } catch (const std::bad_alloc &) {
        return Fail(QLXRC_NO_MEMORY, "out of memory");
    } catch (...) {
        return Fail(QLXRC_TRANSPORT, "unexpected failure inside the messaging library");
    }
}

} // namespace qlx

#endif
