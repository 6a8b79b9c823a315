/* TrlUtilCrc16Calculate, and its table-driven path: see crc16.h. */
#include "crc16.h"

#include <array>

#include "trellan.h"

namespace {

constexpr uint16_t CRC16_INITIAL_VALUE = 0xFFFF;
constexpr int SLICES = 16;

using CrcTables = std::array<std::array<uint16_t, 256>, SLICES>;

/*
 * tables[k][x] is the CRC register after the byte x followed by k zero bytes,
 * starting from 0; sixteen bytes then cost sixteen lookups and no shifts per bit.
 */
constexpr CrcTables MakeCrcTables() {
  CrcTables tables{};
  for (unsigned value = 0; value < 256; ++value) {
    unsigned crc = value << 8;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) != 0 ? (crc << 1) ^ CRC16_POLYNOMIAL : crc << 1;
    }
    tables[0][value] = static_cast<uint16_t>(crc);
  }
  for (int slice = 1; slice < SLICES; ++slice) {
    for (unsigned value = 0; value < 256; ++value) {
      const unsigned previous = tables[slice - 1][value];
      tables[slice][value] = static_cast<uint16_t>((previous << 8) ^ tables[0][previous >> 8]);
    }
  }
  return tables;
}
constexpr CrcTables CRC_TABLES = MakeCrcTables();

Crc16Update ChooseCrc16Update() {
  const Crc16Update folding = FindCrc16Folding();
  return folding != nullptr ? folding : UpdateCrc16ByTable;
}

}  // namespace

uint16_t UpdateCrc16ByTable(uint16_t crc16, const uint8_t *data, size_t length) {
  unsigned crc = crc16;
  const auto &t = CRC_TABLES;
  while (length >= SLICES) {
    crc = t[15][(crc >> 8) ^ data[0]] ^ t[14][(crc & 0xFF) ^ data[1]] ^ t[13][data[2]] ^
          t[12][data[3]] ^ t[11][data[4]] ^ t[10][data[5]] ^ t[9][data[6]] ^ t[8][data[7]] ^
          t[7][data[8]] ^ t[6][data[9]] ^ t[5][data[10]] ^ t[4][data[11]] ^ t[3][data[12]] ^
          t[2][data[13]] ^ t[1][data[14]] ^ t[0][data[15]];
    data += SLICES;
    length -= SLICES;
  }
  while (length-- > 0) {
    crc = ((crc << 8) ^ t[0][(crc >> 8) ^ *data++]) & 0xFFFF;
  }
  return static_cast<uint16_t>(crc);
}

uint16_t TrlUtilCrc16Calculate(const uint8_t *data, uint32_t length) {
  if (data == nullptr) {
    return CRC16_INITIAL_VALUE;
  }
  static const Crc16Update update = ChooseCrc16Update();
  return update(CRC16_INITIAL_VALUE, data, length);
}
