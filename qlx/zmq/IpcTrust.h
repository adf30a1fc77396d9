/* Whether a client may trust the ipc:// socket it is about to connect to:
 * ZeroMQ filters peers by user on the service side only, so a socket that
 * another user made, or could replace, could be an impostor's. */
#ifndef TFX_QLX_IPCTRUST_H
#define TFX_QLX_IPCTRUST_H

#include <string>
#include <sys/types.h>

namespace qlx {

/* A user for texts: "user nobody (65534)", or "uid 61000" for one with no name. */
std::string UserText(uid_t id);

/* True when no other user can have made or replace the socket at path: the
 * socket and every directory on the way to it, walked as given (from the
 * working directory for a relative path, no link among the directories
 * followed), belong to this user, root, or the owner that QLX_SERVICE_OWNER
 * names, and no directory on the way is writable by group or others unless
 * it is sticky. A link at the socket's name is followed once it passes, and
 * what it points to is checked the same way. True as well when there is no
 * socket at path (that is reported as not served). False, with the error
 * recorded naming the path and its owner, otherwise. */
bool TrustIpcSocket(const std::string &path);

/* Whether the process at the other end of fd, a Unix socket connected to
 * the socket at path, runs as a user TrustIpcSocket trusts: a check of the
 * path answers for the moment of the check only, this one for the
 * connection itself. Refused, with *peer set to that user and the error
 * recorded (FailUntrustedPeer); Gone when fd is no connected socket any
 * more (ZeroMQ closed it: that connection can carry nothing). */
enum class PeerTrust { Trusted, Refused, Gone };
PeerTrust TrustIpcPeer(int fd, const std::string &path, uid_t *peer);

/* Records that the socket at path is served by a process of user peer, whom
 * this client does not trust (reason 41). Returns 0. */
int FailUntrustedPeer(uid_t peer, const std::string &path);

} // namespace qlx

#endif
