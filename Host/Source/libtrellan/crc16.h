/* The CRC-16 of TrlUtilCrc16Calculate: through tables on any CPU, by folding where the CPU can. */
#ifndef TRELLAN_CRC16_H
#define TRELLAN_CRC16_H

#include <cstddef>
#include <cstdint>

/*
 * The CRC register after length more bytes, starting from the register crc
 * (polynomial 0x1021, not reflected). data may be null only when length is 0.
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
