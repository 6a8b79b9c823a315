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

/* The value of a hex digit (either case), or -1. */
inline int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  const char lower = static_cast<char>(c | 0x20);
  return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

/* The byte two hex digits make, or -1 if either is not a hex digit. */
inline int DecodeHexPair(const char *hex) {
  const int high = HexDigitValue(hex[0]);
  const int low = HexDigitValue(hex[1]);
  return (high | low) < 0 ? -1 : high << 4 | low;
}

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
