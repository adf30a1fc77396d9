#include "qlx/zmq/PinnedBuffer.h"

#include <zmq.h>

namespace qlx {

bool ReceiveBuffersKnown()
{
    int major = 0;
    int minor = 0;
    int patch = 0;
    zmq_version(&major, &minor, &patch);
    return major == 4 && minor == 3;
}

uint64_t ReceiveBufferCharge(uintptr_t last, Frame data)
{
    if (data.Size < InPlaceDataLeast || data.Size >= ReceiveBufferData)
        return 0;
    auto at = reinterpret_cast<uintptr_t>(data.Data);
    bool sameBuffer = last != 0 && at > last && at - last <= ReceiveBufferData;
    return sameBuffer ? 0 : uint64_t{ReceiveBufferCost};
}

} // namespace qlx
