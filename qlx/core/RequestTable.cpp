#include "qlx/core/RequestTable.h"

#include <cstring>

namespace qlx {

QLXHREQ RequestTable::Open(const void *peer, size_t peerSize, uint64_t requestId)
{
    if (open_ >= limit_)
        return 0;
    uint32_t index;
    if (!free_.empty()) {
        index = free_.back();
        free_.pop_back();
    } else {
        index = static_cast<uint32_t>(entries_.size());
        entries_.emplace_back();
        generations_.push_back(0);
    }
    uint32_t generation = (generations_[index] + 1) & GenerationMask;
    if (generation == 0)
        generation = 1;
    generations_[index] = generation;
    OpenRequest &entry = entries_[index];
    /* A slot mostly serves the same few clients again: the name is written
     * over in place when it fits, without assign's general path. */
    if (entry.Peer.size() == peerSize && peerSize > 0)
        memcpy(entry.Peer.data(), peer, peerSize);
    else
        entry.Peer.assign(static_cast<const char *>(peer), peerSize);
    entry.RequestId = requestId;
    entry.Generation = generation;
    ++open_;
    return (generation << IndexBits) | index;
}

OpenRequest *RequestTable::Find(QLXHREQ handle)
{
    if (IsDatagramHandle(handle))
        return nullptr;
    uint32_t index = handle & ((1u << IndexBits) - 1);
    uint32_t generation = handle >> IndexBits;
    if (index >= entries_.size() || generation == 0 || entries_[index].Generation != generation)
        return nullptr;
    return &entries_[index];
}

void RequestTable::Close(QLXHREQ handle)
{
    OpenRequest *entry = Find(handle);
    if (entry == nullptr)
        return;
    entry->Generation = 0;
    free_.push_back(handle & ((1u << IndexBits) - 1));
    --open_;
}

QLXHREQ RequestTable::NextDatagramHandle()
{
    datagrams_ = (datagrams_ + 1) & ~DatagramBit;
    if (datagrams_ == 0)
        datagrams_ = 1;
    return DatagramBit | datagrams_;
}

} // namespace qlx
