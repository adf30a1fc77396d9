/* The transactions a service has delivered and not yet completed, behind the
 * 32-bit request handles. Datagram handles carry the top bit and name no
 * entry: a datagram has nothing to complete. */
#ifndef TFX_QLX_REQUESTTABLE_H
#define TFX_QLX_REQUESTTABLE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "qlx/ServiceRecords.h"

namespace qlx {

struct OpenRequest {
    std::string Peer;    /* the client, as its transport names it */
    uint64_t RequestId;  /* the client's id, echoed in every reply */
    uint32_t Generation; /* 0 = free */
};

class RequestTable {
  public:
    explicit RequestTable(size_t limit) : limit_(limit) {}

    /* Opens an entry; returns its handle, or 0 when the limit is reached. */
    QLXHREQ Open(const void *peer, size_t peerSize, uint64_t requestId);
    /* The open entry behind handle, or null. */
    OpenRequest *Find(QLXHREQ handle);
    /* Frees the entry behind handle. */
    void Close(QLXHREQ handle);
    size_t OpenCount() const { return open_; }

    /* A fresh handle for a datagram. */
    QLXHREQ NextDatagramHandle();
    static bool IsDatagramHandle(QLXHREQ handle) { return (handle & DatagramBit) != 0; }

  private:
    enum : uint32_t { DatagramBit = 0x80000000u, IndexBits = 16, GenerationMask = 0x7FFFu };
    size_t limit_;
    size_t open_ = 0;
    std::vector<OpenRequest> entries_;
    std::vector<uint32_t> free_;
    std::vector<uint32_t> generations_;
    uint32_t datagrams_ = 0;
};

} // namespace qlx

#endif
