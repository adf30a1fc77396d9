#include "qlx/core/ReceiveBuffer.h"

#include <cstdlib>
#include <cstring>

namespace qlx {

ReceiveBuffer::~ReceiveBuffer()
{
    free(data_);
}

bool ReceiveBuffer::Fill(const uint8_t *data, size_t size)
{
    if (size + 1 > capacity_) {
        size_t capacity = size + 1 > 2 * size_t{capacity_} ? size + 1 : 2 * size_t{capacity_};
        if (capacity > UINT32_MAX)
            return false;
        char *grown = static_cast<char *>(malloc(capacity));
        if (grown == nullptr)
            return false;
        free(data_);
        data_ = grown;
        capacity_ = static_cast<uint32_t>(capacity);
    }
    if (size > 0)
        memcpy(data_, data, size);
    data_[size] = '\0';
    return true;
}

} // namespace qlx
