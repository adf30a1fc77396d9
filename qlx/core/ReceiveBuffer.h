/* The buffer that received data is handed out in. */
#ifndef TFX_QLX_RECEIVEBUFFER_H
#define TFX_QLX_RECEIVEBUFFER_H

#include <cstddef>
#include <cstdint>

namespace qlx {

/* A malloc'd buffer that grows as needed and is reused: the one copy of
 * received data, terminated by a zero byte. */
class ReceiveBuffer {
  public:
    ReceiveBuffer() = default;
    ~ReceiveBuffer();
    ReceiveBuffer(const ReceiveBuffer &) = delete;
    ReceiveBuffer &operator=(const ReceiveBuffer &) = delete;
    /* Copies size bytes and a terminator in; false when no room can be had. */
    bool Fill(const uint8_t *data, size_t size);
    char *Data() const { return data_; }
    uint32_t Capacity() const { return capacity_; }

  private:
    char *data_ = nullptr;
    uint32_t capacity_ = 0;
};

} // namespace qlx

#endif
