/* What a service element name becomes wherever it must be a file name, a
 * subject token or a text: the same name the same way on every transport. */
#ifndef TFX_QLX_ELEMENTNAME_H
#define TFX_QLX_ELEMENTNAME_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace qlx {

enum : size_t { PlainNameLimit = 64 }; /* longest element name used as a file name as it stands */

/* 64-bit FNV-1a of size bytes. */
uint64_t Fnv1a(const uint8_t *bytes, size_t size);

/* The file name for an element name of length bytes: the name itself when it
 * is 1 to 64 characters of [A-Za-z0-9._-] other than "." and "..", else "h"
 * and the 16 hex digits of its hash. */
std::string FileNameFor(const char *name, size_t length);

/* The hashed file name, whatever the name. */
std::string HashedFileNameFor(const char *name, size_t length);

/* A printable form of an element name for error texts. */
std::string PrintableName(const char *name, size_t length);

} // namespace qlx

#endif
