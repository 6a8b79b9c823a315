/* Hexadecimal text to bytes, and records to text, sixteen bytes per step where the CPU has SSE2. */
#ifndef TRELLAN_HEX_CODEC_H
#define TRELLAN_HEX_CODEC_H

#include <cstddef>
#include <cstdint>

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

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define TRELLAN_HEX_SSE2 1

/* Sixteen hex digits to eight bytes (in the low half); false if any is not a hex digit. */
inline bool DecodeSixteen(const char *hex, __m128i *packed) {
  const __m128i text = _mm_loadu_si128(reinterpret_cast<const __m128i *>(hex));
  const __m128i lower = _mm_or_si128(text, _mm_set1_epi8(0x20));
  /* Signed compares: bytes of 0x80 and above are negative and fail both ranges. */
  const __m128i isDigit = _mm_and_si128(_mm_cmpgt_epi8(text, _mm_set1_epi8('0' - 1)),
                                        _mm_cmplt_epi8(text, _mm_set1_epi8('9' + 1)));
  const __m128i isLetter = _mm_and_si128(_mm_cmpgt_epi8(lower, _mm_set1_epi8('a' - 1)),
                                         _mm_cmplt_epi8(lower, _mm_set1_epi8('f' + 1)));
  if (_mm_movemask_epi8(_mm_or_si128(isDigit, isLetter)) != 0xFFFF) {
    return false;
  }
  const __m128i nibbles =
      _mm_or_si128(_mm_and_si128(isDigit, _mm_sub_epi8(text, _mm_set1_epi8('0'))),
                   _mm_and_si128(isLetter, _mm_sub_epi8(lower, _mm_set1_epi8('a' - 10))));
  /* Each 16-bit lane holds the high nibble in its low byte and the low nibble above it. */
  const __m128i high = _mm_and_si128(_mm_slli_epi16(nibbles, 4), _mm_set1_epi16(0x00F0));
  const __m128i low = _mm_srli_epi16(nibbles, 8);
  *packed = _mm_packus_epi16(_mm_or_si128(high, low), _mm_setzero_si128());
  return true;
}

/* Adds the eight bytes in the low half of packed to sums. */
inline void AddEight(__m128i packed, __m128i *sums) {
  *sums = _mm_add_epi64(*sums, _mm_sad_epu8(packed, _mm_setzero_si128()));
}
#endif

/*
 * Decodes byteCount bytes from 2 * byteCount hex digits (either case) and adds
 * each byte to *sum. Returns false if any character is not a hex digit. Inline:
 * a record's few steps are most of a load.
 */
inline bool DecodeHex(const char *hex, size_t byteCount, uint8_t *bytes, unsigned *sum) {
  size_t index = 0;
#ifdef TRELLAN_HEX_SSE2
  if (byteCount >= 8) {
    __m128i sums = _mm_setzero_si128();
    __m128i packed;
    for (; index + 8 <= byteCount; index += 8) {
      if (!DecodeSixteen(hex + 2 * index, &packed)) {
        return false;
      }
      _mm_storel_epi64(reinterpret_cast<__m128i *>(bytes + index), packed);
      AddEight(packed, &sums);
    }
    if (index < byteCount) {
      /* The last eight bytes again, overlapping those done: only the new ones count towards the sum. */
      const size_t last = byteCount - 8;
      if (!DecodeSixteen(hex + 2 * last, &packed)) {
        return false;
      }
      _mm_storel_epi64(reinterpret_cast<__m128i *>(bytes + last), packed);
      const int shift = static_cast<int>(8 * (index - last));
      AddEight(_mm_srl_epi64(packed, _mm_cvtsi32_si128(shift)), &sums);
      index = byteCount;
    }
    *sum += static_cast<unsigned>(_mm_cvtsi128_si32(sums));
  }
#endif
  for (; index < byteCount; ++index) {
    const int value = DecodeHexPair(hex + 2 * index);
    if (value < 0) {
      return false;
    }
    bytes[index] = static_cast<uint8_t>(value);
    *sum += static_cast<unsigned>(value);
  }
  return true;
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
