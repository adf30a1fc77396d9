/* The lock file beside a service's ipc:// socket: a live service holds a lock
 * on it for as long as it runs, and the kernel drops the lock when the
 * process dies, however it dies. A service that closes cleanly removes it. */
#ifndef TFX_QLX_LOCKFILE_H
#define TFX_QLX_LOCKFILE_H

#include <string>

namespace qlx {

/* Takes the lock at path for subject ("service element E1", or the
 * QLX_ENDPOINT setting); returns its descriptor, or -1 with the error
 * recorded (QLXRC_ALREADY_SERVED when a live process holds it). The lock is
 * only taken on the file that path names when it is taken, never on one that
 * a closing service has just removed. */
int TakeServiceLock(const std::string &path, const std::string &subject);

/* Whether a live process holds the lock at path; false when there is no such
 * file, or when it cannot be opened, with *openError (when given) set to
 * that errno (0 otherwise). */
bool ServiceLockHeld(const std::string &path, int *openError = nullptr);

} // namespace qlx

#endif
