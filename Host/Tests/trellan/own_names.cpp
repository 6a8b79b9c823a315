// Functions of a program's own that happen to have the names and signatures
// that libtrellan uses inside: they must not collide with the library's.
#include <cstddef>
#include <cstdint>

struct FirmwareImage {
  int cleared;
};
struct OutputFile {
  int opened;
};

void ImageClear(FirmwareImage *image) { image->cleared = 1; }
int OpenOutputFile(const char *, OutputFile *output) { return output->opened = 1; }
char *EncodeRecord(const uint8_t *, size_t, const uint8_t *, size_t, bool, char *out) { return out; }

extern "C" int UseOwnNames(void) {
  FirmwareImage image{0};
  OutputFile output{0};
  char text[1];
  ImageClear(&image);
  return image.cleared + OpenOutputFile("", &output) + (EncodeRecord(nullptr, 0, nullptr, 0, false, text) == text);
}
