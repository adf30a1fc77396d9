/* Whether a client may trust the ipc:// socket it is about to connect to:
 * ZeroMQ filters peers by user on the service side only, so a socket that
 * another user made, or could replace, could be an impostor's. */
#ifndef TFX_QLX_IPCTRUST_H
#define TFX_QLX_IPCTRUST_H

#include <string>

namespace qlx {

/* True when no other user can have made or replace the socket at path: the
 * socket and every directory above it belong to this user, root, or the
 * owner that QLX_SERVICE_OWNER names, and no directory on the way is
 * writable by group or others unless it is sticky. True as well when there
 * is no socket at path (that is reported as not served). False, with the
 * error recorded naming the path and its owner, otherwise. */
bool TrustIpcSocket(const std::string &path);

} // namespace qlx

#endif
