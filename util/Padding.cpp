#include "util/Padding.h"

#include <cstring>

void ConvertScoreToBlank(char *text, uint32_t max)
{
    for (uint32_t i = 0; i < max && text[i] != '\0'; ++i) {
        if (text[i] == '_')
            text[i] = ' ';
    }
}

void CopyAndPad(char *dest, const char *src, uint32_t width, uint32_t srcmax)
{
    uint32_t n = 0;
    while (n < srcmax && src[n] != '\0')
        ++n;
    if (n >= width) {
        memcpy(dest, src, width);
        return;
    }
    memcpy(dest, src, n);
    memset(dest + n, ' ', width - n);
}

void ConcatAndPad(char *dest, const char *src, uint32_t width, uint32_t srcmax)
{
    uint32_t k = 0;
    while (k < width && dest[k] != ' ' && dest[k] != '\0')
        ++k;
    CopyAndPad(dest + k, src, width - k, srcmax);
}
