/* The lock file beside a service's ipc:// socket: a live service holds a lock
 * on it for as long as it runs, and the kernel drops the lock when the
 * process dies, however it dies. */
#ifndef TFX_QLX_LOCKFILE_H
#define TFX_QLX_LOCKFILE_H

#include <string>

namespace qlx {

/* Takes the lock at path for the service name; returns its descriptor, or -1
 * with the error recorded (QLXRC_ALREADY_SERVED when a live process holds
 * it). */
int TakeServiceLock(const std::string &path, const std::string &name);

/* Whether a live process holds the lock at path; false when there is no such
 * file. */
bool ServiceLockHeld(const std::string &path);

} // namespace qlx

#endif
