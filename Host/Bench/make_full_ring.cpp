/*
 * Writes a 16 KiB ring dump full of small frames (60-byte Ethernet payloads)
 * whose walk covers the whole ring. Usage: make_full_ring OUTPUT
 */
#include <cstdint>
#include <cstdio>
#include <vector>

int main(int argc, char *argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_full_ring OUTPUT\n");
    return 2;
  }
  const uint32_t ringSize = 16384;
  const uint16_t lengthField = 60 + 5;
  std::vector<uint8_t> ring(ringSize);
  uint32_t position = 0;
  uint32_t timeOffset = 0;
  while (position + lengthField + 2 <= ringSize) {
    ring[position] = static_cast<uint8_t>(lengthField);
    ring[position + 1] = 0;
    for (int index = 0; index < 4; ++index) {
      ring[position + 3 + index] = static_cast<uint8_t>(timeOffset >> (8 * index));
    }
    for (uint32_t index = 0; index < 60u; ++index) {
      ring[position + 7 + index] = static_cast<uint8_t>(position + index);
    }
    position += lengthField + 2;
    timeOffset += 3;
  }
  const uint8_t header[4] = {0, 0, static_cast<uint8_t>(position), static_cast<uint8_t>(position >> 8)};
  FILE *file = std::fopen(argv[1], "wb");
  if (file == nullptr || std::fwrite(header, 1, 4, file) != 4 ||
      std::fwrite(ring.data(), 1, ring.size(), file) != ring.size() || std::fclose(file) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
