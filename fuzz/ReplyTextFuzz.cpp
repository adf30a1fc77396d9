/* The reply text: the copy of received text into a buffer and the tag at its
 * last line feed never write past the buffer and always leave it terminated. */
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzInput.h"
#include "server/ReplyText.h"

static void Check(bool condition)
{
    if (!condition)
        abort();
}

/* Input: buffer size, element name length, the name, then the text. */
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input{data, size};
    size_t bufferSize = input.TakeU16() % 4096;
    std::string element = input.TakeBytes(input.TakeByte());
    std::string text = input.TakeRest();
    element = element.c_str();

    /* Exactly bufferSize bytes on the heap, so any overrun is caught. */
    char *buffer = static_cast<char *>(malloc(bufferSize == 0 ? 1 : bufferSize));
    CopyReplyText(buffer, bufferSize, text.c_str());
    if (bufferSize > 0) {
        size_t length = strnlen(buffer, bufferSize);
        Check(length < bufferSize);
        Check(std::memcmp(buffer, text.c_str(), length) == 0);
        TagReplyText(buffer, bufferSize, element.c_str());
        Check(strnlen(buffer, bufferSize) < bufferSize);
    }
    free(buffer);
    return 0;
}
