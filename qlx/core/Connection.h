/* The table of open connections behind the 32-bit connection handles. */
#ifndef TFX_QLX_CONNECTION_H
#define TFX_QLX_CONNECTION_H

#include <cstdint>
#include <memory>

#include "qlx/ServiceRecords.h"

namespace qlx {

enum : uint32_t { ConnectionLimit = 255 }; /* connections open at once in a process */

/* One open service or client connection. */
class Connection {
  public:
    enum class Role { Service, Client };
    explicit Connection(Role role) : role_(role) {}
    virtual ~Connection() = default;
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    Role GetRole() const { return role_; }

  private:
    Role role_;
};

/* Enters a connection in the table. Returns its handle, or 0 when the table
 * is full (the connection is then destroyed). */
QLXHCONN RegisterConnection(std::unique_ptr<Connection> connection);

/* The connection behind a handle, or null. */
Connection *FindConnection(QLXHCONN handle);

/* Takes a connection out of the table; null when the handle names none. */
std::unique_ptr<Connection> UnregisterConnection(QLXHCONN handle);

/* Calls visit on every open connection until it returns true. */
Connection *FindConnectionWhere(bool (*visit)(Connection *, const void *), const void *context);

} // namespace qlx

#endif
