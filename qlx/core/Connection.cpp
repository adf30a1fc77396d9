#include "qlx/core/Connection.h"

#include <atomic>
#include <mutex>

namespace qlx {

/* Slot 0 is never used, so no handle is 0. Handles carry a generation in
 * their upper bits, so a stale handle does not reach a reused slot. */
enum : uint32_t { SlotCount = ConnectionLimit + 1, SlotBits = 8 };

static std::mutex TableLock;
static std::atomic<Connection *> Slots[SlotCount];
static std::atomic<uint32_t> Generations[SlotCount];

QLXHCONN RegisterConnection(std::unique_ptr<Connection> connection)
{
    std::lock_guard<std::mutex> guard(TableLock);
    for (uint32_t slot = 1; slot < SlotCount; ++slot) {
        if (Slots[slot].load() != nullptr)
            continue;
        Generations[slot] = (Generations[slot] + 1) & 0xFFFFFFu;
        if (Generations[slot] == 0)
            Generations[slot] = 1;
        Slots[slot].store(connection.release());
        return (Generations[slot] << SlotBits) | slot;
    }
    return 0;
}

static uint32_t SlotOf(QLXHCONN handle)
{
    return handle & (SlotCount - 1);
}

static bool HandleIsCurrent(QLXHCONN handle)
{
    uint32_t slot = SlotOf(handle);
    return slot != 0 && Generations[slot] == (handle >> SlotBits);
}

Connection *FindConnection(QLXHCONN handle)
{
    if (!HandleIsCurrent(handle))
        return nullptr;
    return Slots[SlotOf(handle)].load();
}

std::unique_ptr<Connection> UnregisterConnection(QLXHCONN handle)
{
    std::lock_guard<std::mutex> guard(TableLock);
    if (!HandleIsCurrent(handle))
        return nullptr;
    return std::unique_ptr<Connection>(Slots[SlotOf(handle)].exchange(nullptr));
}

Connection *FindConnectionWhere(bool (*visit)(Connection *, const void *), const void *context)
{
    std::lock_guard<std::mutex> guard(TableLock);
    for (uint32_t slot = 1; slot < SlotCount; ++slot) {
        Connection *connection = Slots[slot].load();
        if (connection != nullptr && visit(connection, context))
            return connection;
    }
    return nullptr;
}

} // namespace qlx
