/* Reading structured values off a fuzzer's byte string: each read takes
 * bytes from the front; an exhausted input reads as zeros and empty. */
#ifndef TFX_FUZZ_FUZZINPUT_H
#define TFX_FUZZ_FUZZINPUT_H

#include <cstddef>
#include <cstdint>
#include <string>

struct FuzzInput {
    const uint8_t *Data;
    size_t Size;

    uint8_t TakeByte()
    {
        if (Size == 0)
            return 0;
        --Size;
        return *Data++;
    }

    uint16_t TakeU16()
    {
        uint16_t low = TakeByte();
        return static_cast<uint16_t>(low | (TakeByte() << 8));
    }

    /* Up to length bytes, fewer when the input runs out. */
    std::string TakeBytes(size_t length)
    {
        if (length > Size)
            length = Size;
        std::string bytes(reinterpret_cast<const char *>(Data), length);
        Data += length;
        Size -= length;
        return bytes;
    }

    std::string TakeRest() { return TakeBytes(Size); }
};

#endif
