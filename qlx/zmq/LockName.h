/* The element name in the lock file beside a service's ipc:// socket: the
 * socket of a name that is not plain has a hashed file name, so listings of
 * the runtime directory read the name there to show what a user types. */
#ifndef TFX_QLX_LOCKNAME_H
#define TFX_QLX_LOCKNAME_H

#include <string>

namespace qlx {

/* Writes name into the lock file the service holds open as fd. Returns
 * false when it cannot: listings then show the file's own name. */
bool WriteLockName(int fd, const std::string &name);

/* The element name in the lock file at path, when the file is a regular one
 * of this user and the name maps to stem (the file's name less ".lock");
 * "" otherwise. */
std::string ReadLockName(const std::string &path, const std::string &stem);

} // namespace qlx

#endif
