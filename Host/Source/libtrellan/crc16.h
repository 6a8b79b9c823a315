/* The CRC-16 of TrlUtilCrc16Calculate: through tables on any CPU, by folding where the CPU can. */
#ifndef TRELLAN_CRC16_H
#define TRELLAN_CRC16_H

#include <cstddef>
#include <cstdint>

/* x^16 + x^12 + x^5 + 1 without its x^16 term. */
constexpr uint16_t CRC16_POLYNOMIAL = 0x1021;

/*
 * The CRC register, not reflected, after length more bytes, starting from
 * the register crc. data may be null only when length is 0.
 */
using Crc16Update = uint16_t (*)(uint16_t crc, const uint8_t *data, size_t length);

/* Sixteen table lookups for sixteen bytes; the portable path, and the one for short lengths. */
uint16_t UpdateCrc16ByTable(uint16_t crc, const uint8_t *data, size_t length);

/*
 * The same register by carry-less multiplication, folding 128 bytes a step;
 * nullptr where this build or the CPU it runs on has no such instruction.
 */
Crc16Update FindCrc16Folding();

#endif
