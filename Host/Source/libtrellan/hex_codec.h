/* Hexadecimal text to bytes and back, sixteen characters per step where the CPU has SSE2. */
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
 * Writes 2 * count upper-case hex digits, adds each byte to *sum and returns
 * the position after the digits.
 */
char *EncodeHex(const uint8_t *bytes, size_t count, char *out, unsigned *sum);

#endif
