/* The one place that picks a transport: NATS when QLX_ENDPOINT names NATS
 * servers, else ZeroMQ. */
#ifndef TFX_QLX_TRANSPORTCHOICE_H
#define TFX_QLX_TRANSPORTCHOICE_H

#include <cstddef>
#include <memory>
#include <string>

#include "qlx/core/Transport.h"

namespace qlx {

/* Opens the service transport of the element in nameField (132 bytes,
 * terminated or not; name is its printable form for texts). Null, with the
 * error recorded, when it cannot be opened. */
std::unique_ptr<ServiceTransport> OpenServiceTransport(const char *nameField, size_t fieldSize,
                                                       const std::string &name);

/* Connects a client transport to the element; null, with the error recorded,
 * when it cannot. */
std::unique_ptr<ClientTransport> OpenClientTransport(const char *nameField, size_t fieldSize,
                                                     const std::string &name);

} // namespace qlx

#endif
