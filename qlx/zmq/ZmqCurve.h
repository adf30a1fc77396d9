/* CurveZMQ on tcp:// endpoints: the key files that tfxkeys writes, and the
 * options that put a service's or a client's socket under them. An ipc://
 * endpoint keeps its own access control (a private directory and a filter by
 * user id) and takes no keys. */
#ifndef TFX_QLX_ZMQCURVE_H
#define TFX_QLX_ZMQCURVE_H

#include <memory>
#include <set>
#include <string>

#include "qlx/zmq/ZmqZap.h"

namespace qlx {

enum : size_t {
    KeyTextSize = 40, /* a key in Z85 text */
    KeySize = 32,     /* the key's bytes */
};

/* The key in the secret key file at path (mode 0600 or stricter) as bytes,
 * and the public key that goes with it. False, with the failure recorded
 * naming the file and what is wrong with it, otherwise. */
bool ReadSecretKeyFile(const std::string &path, std::string *secret, std::string *publicKey);

/* The key in the public key file at path, as bytes. */
bool ReadPublicKeyFile(const std::string &path, std::string *publicKey);

/* The keys listed in the file at path, as bytes: one a line, blank lines and
 * lines that start with # left out. A list of no key is refused. */
bool ReadAllowedKeys(const std::string &path, std::set<std::string> *keys);

/* Whether the tcp:// address names only this host: 127.0.0.0/8, ::1,
 * localhost or the interface lo. */
bool IsLoopbackAddress(const std::string &address);

/* Puts the service's socket, about to bind address, under CurveZMQ when
 * QLX_CURVE_KEY is set (QLX_CURVE_CLIENTS naming the keys allowed, whose
 * domain *zap becomes); otherwise checks that address may go without it: a
 * loopback address, or QLX_ALLOW_PLAINTEXT=1. False, with the failure
 * recorded, when it may not or a key cannot be used. */
bool SecureService(void *socket, const std::string &address, std::unique_ptr<ZapDomain> *zap);

/* The same for a client's socket about to connect address, with
 * QLX_CURVE_KEY (its own secret key) and QLX_CURVE_SERVER (the service's
 * public key). */
bool SecureClient(void *socket, const std::string &address);

} // namespace qlx

#endif
