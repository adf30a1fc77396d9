/* How a service element name becomes a ZeroMQ endpoint, and the private
 * runtime directory behind the default ipc:// endpoints. */
#ifndef TFX_QLX_ENDPOINT_H
#define TFX_QLX_ENDPOINT_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace qlx {

enum : size_t { SocketPathLimit = 107 }; /* bytes of a Unix socket path, terminator not counted */

struct Endpoint {
    std::string Address;    /* what ZeroMQ binds or connects */
    std::string SocketPath; /* the socket file of an ipc:// endpoint, else empty */
    std::string LockPath;   /* the file whose lock marks a live service, else empty */
};

/* Fills *endpoint for the element name in the runtime directory dir: the
 * plain file name, or the hashed one when the plain path is too long for a
 * socket. Returns false when even the hashed path does not fit. */
bool MapNameInDirectory(const std::string &dir, const char *name, size_t length,
                        Endpoint *endpoint);

/* $QLX_ENDPOINT when it is set and not empty, else null. */
const char *ExplicitEndpoint();

/* The runtime directory: $QLX_DIR, else $XDG_RUNTIME_DIR/qlx, else
 * /tmp/qlx-<uid>. */
std::string RuntimeDirectoryPath();

/* Makes sure dir exists (creating it 0700 when create is set) and is safe:
 * a real directory, not a link, owned by this user, not writable by group or
 * others. Records the error and returns false otherwise. */
bool CheckRuntimeDirectory(const std::string &dir, bool create);

/* Resolves the endpoint of an element name (a 132-byte field, terminated or
 * not): $QLX_ENDPOINT when set, else the runtime directory's socket. With
 * create, the runtime directory is made when missing. Records the error and
 * returns false when there is no safe endpoint. */
bool ResolveEndpoint(const char *nameField, size_t fieldSize, bool create, Endpoint *endpoint);

} // namespace qlx

#endif
