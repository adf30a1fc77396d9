/* Whether the service of an element can be reached, as far as a client can
 * tell before it sends anything, and the error that says so when it cannot:
 * where the client looked (the runtime directory and the setting that chose
 * it, or QLX_ENDPOINT), what it found there, and how to start the service. */
#ifndef TFX_QLX_SERVICEREACH_H
#define TFX_QLX_SERVICEREACH_H

#include <string>

#include "qlx/zmq/Endpoint.h"

namespace qlx {

enum class Reach {
    Live,    /* a live service of this library holds the endpoint's lock */
    Unknown, /* tcp://, or an ipc:// socket of another program: only its answer tells */
    None,    /* no service: the error is recorded */
};

/* Without QLX_ENDPOINT, whether the runtime directory exists; false, with
 * the not-served error recorded, when it does not. */
bool RuntimeDirectoryPresent(const std::string &name);

/* What can be known of the service of name at endpoint before connecting. */
Reach CheckReach(const std::string &name, const Endpoint &endpoint);

/* Records that the service of name cannot be reached, with seen (what the
 * client found) as the sub result. Returns 0. */
int FailNotServed(const std::string &name, const std::string &seen);

} // namespace qlx

#endif
