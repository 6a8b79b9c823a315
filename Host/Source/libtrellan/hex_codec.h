/* Hexadecimal text to bytes, and records to text, sixteen bytes per step where the CPU has SSE2. */
#ifndef TRELLAN_HEX_CODEC_H
#define TRELLAN_HEX_CODEC_H

#include <cstddef>
#include <cstdint>

/*
 * Decodes byteCount bytes from 2 * byteCount hex digits (either case) and adds
 * each byte to *sum. Returns false if any character is not a hex digit.
 */
bool DecodeHex(const char *hex, size_t byteCount, uint8_t *bytes, unsigned *sum);

/*
 * Writes a record's fields as upper-case hex digits, the prefix bytes (count,
 * address and the like) and then the data, followed by their checksum and a
 * newline. The checksum is the one's complement of the fields' byte sum, or
 * its two's complement when twosComplement is set. Returns the position after
 * the newline.
 */
char *EncodeRecord(const uint8_t *prefix, size_t prefixLength, const uint8_t *data, size_t dataLength,
                   bool twosComplement, char *out);

#endif
