/* Builds Intel HEX lines with correct byte counts and checksums for tests. */
#ifndef IHEX_TEXT_H
#define IHEX_TEXT_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

/* One record line (with "\n") of the given type, 16-bit address and data bytes. */
inline std::string Ihex(uint8_t type, uint16_t address, const std::vector<uint8_t> &data = {}) {
  std::vector<uint8_t> bytes = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8),
                                static_cast<uint8_t>(address), type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (uint8_t byte : bytes) sum += byte;
  bytes.push_back(static_cast<uint8_t>(0x100 - (sum & 0xFF)));
  std::string line = ":";
  char hex[3];
  for (uint8_t byte : bytes) {
    std::snprintf(hex, sizeof hex, "%02X", byte);
    line += hex;
  }
  return line + "\n";
}

/* An 02, 03, 04 or 05 record carrying the 16-bit values given. */
inline std::string IhexValue(uint8_t type, uint16_t high, uint16_t low = 0) {
  std::vector<uint8_t> data = {static_cast<uint8_t>(high >> 8), static_cast<uint8_t>(high)};
  if (type == 3 || type == 5) {
    data.push_back(static_cast<uint8_t>(low >> 8));
    data.push_back(static_cast<uint8_t>(low));
  }
  return Ihex(type, 0, data);
}

inline const std::string IHEX_END = ":00000001FF\n";

#endif
