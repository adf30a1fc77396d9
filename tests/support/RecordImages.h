/* Records as bytes, and the expected images of the service records: zero
 * bytes with texts and words put at offsets. */
#ifndef TFX_TESTS_SUPPORT_RECORDIMAGES_H
#define TFX_TESTS_SUPPORT_RECORDIMAGES_H

#include <cstdint>
#include <cstring>
#include <string>

namespace tfxtest {

/* A record's bytes. */
template <typename Record> std::string Bytes(const Record &record)
{
    return std::string(reinterpret_cast<const char *>(&record), sizeof record);
}

/* An expected image: zero bytes, with texts and words put at offsets. */
class Image {
  public:
    explicit Image(size_t size) : bytes_(size, '\0') {}
    Image &Text(size_t offset, const std::string &text)
    {
        bytes_.replace(offset, text.size(), text);
        return *this;
    }
    Image &Word(size_t offset, uint32_t word)
    {
        memcpy(&bytes_[offset], &word, sizeof word);
        return *this;
    }
    Image &Pointer(size_t offset, const void *pointer)
    {
        memcpy(&bytes_[offset], &pointer, sizeof pointer);
        return *this;
    }
    const std::string &Bytes() const { return bytes_; }

  private:
    std::string bytes_;
};

inline Image ServiceAddressImage()
{
    return Image(420).Text(0, "FXAD").Word(4, 3);
}

inline Image MessageRecordImage()
{
    Image image(904);
    image.Text(0, "FXMD").Word(4, 3).Word(124, 0xFFFFFFFFu);
    for (size_t word = 0; word < 7; ++word)
        image.Word(12 + 4 * word, 0xFFFFFFFEu);
    return image;
}

inline Image GetOptionsImage()
{
    return Image(376).Text(0, "FXGO").Word(4, 3).Word(8, 0x40000000u).Word(12, 0xFFFFFFFEu);
}

inline Image PutOptionsImage()
{
    return Image(380).Text(0, "FXPO").Word(4, 3).Word(8, 0x40000000u).Word(368, 0x00200000u);
}

inline Image AlertImage()
{
    return Image(40).Text(0, "LXLD").Word(4, 1).Word(12, 4);
}

} // namespace tfxtest

#endif
