/*
 * Writes the end-to-end benchmark image: 16, 8 and 8 MiB of pseudo-random
 * bytes at 0x08000000, 0x09000000 and 0x0A000000 as S3 records of 32 bytes.
 * Usage: make_image OUTPUT
 */
#include <cstdint>
#include <cstdio>
#include <vector>

#include "trellan.h"

int main(int argc, char *argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_image OUTPUT\n");
    return 2;
  }
  const struct {
    uint32_t address;
    uint32_t size;
  } segments[] = {{0x08000000, 16u << 20}, {0x09000000, 8u << 20}, {0x0A000000, 8u << 20}};
  TrlFirmwareInit(TRL_FILE_FORMAT_SREC);
  uint32_t state = 2024;
  for (const auto &segment : segments) {
    std::vector<uint8_t> bytes(segment.size);
    for (auto &byte : bytes) {
      state = state * 1103515245u + 12345u;
      byte = static_cast<uint8_t>(state >> 16);
    }
    TrlFirmwareAddData(segment.address, segment.size, bytes.data());
  }
  uint32_t status = TrlFirmwareSaveToFile(argv[1]);
  TrlFirmwareTerminate();
  if (status != TRL_OK) {
    std::fprintf(stderr, "make_image: %s\n", TrlStatusText(status));
    return 1;
  }
  return 0;
}
