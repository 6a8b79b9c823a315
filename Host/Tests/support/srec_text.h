/* Builds S-record lines with correct byte counts and checksums for tests. */
#ifndef SREC_TEXT_H
#define SREC_TEXT_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

inline unsigned AddressSizeOfType(char type) {
  switch (type) {
    case '2': case '6': case '8': return 3;
    case '3': case '7': return 4;
    default: return 2;
  }
}

/* One record line (with "\n") of the given type, address and data bytes. */
inline std::string Srec(char type, uint32_t address, const std::vector<uint8_t> &data = {}) {
  const unsigned addressSize = AddressSizeOfType(type);
  std::vector<uint8_t> bytes;
  bytes.push_back(static_cast<uint8_t>(addressSize + data.size() + 1));
  for (unsigned index = addressSize; index-- > 0;) {
    bytes.push_back(static_cast<uint8_t>(address >> (8 * index)));
  }
  bytes.insert(bytes.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (uint8_t byte : bytes) sum += byte;
  bytes.push_back(static_cast<uint8_t>(~sum));
  std::string line = std::string("S") + type;
  char hex[3];
  for (uint8_t byte : bytes) {
    std::snprintf(hex, sizeof hex, "%02X", byte);
    line += hex;
  }
  return line + "\n";
}

/* count bytes counting up from first. */
inline std::vector<uint8_t> Ramp(size_t count, uint8_t first = 0) {
  std::vector<uint8_t> bytes(count);
  for (size_t index = 0; index < count; ++index) bytes[index] = static_cast<uint8_t>(first + index);
  return bytes;
}

#endif
