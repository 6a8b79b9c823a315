/* Hexadecimal text to bytes, and records to text, sixteen bytes per step where the CPU has SSE2; inline,
   since a record is only a few such steps and a file holds millions. */
#ifndef TRELLAN_HEX_CODEC_H
#define TRELLAN_HEX_CODEC_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

/* A hex digit's value (either case) for each byte; other bytes map to HEX_INVALID. */
constexpr uint16_t HEX_INVALID = 0x100;
constexpr std::array<uint16_t, 256> MakeHexValues() {
  std::array<uint16_t, 256> table{};
  for (size_t c = 0; c < table.size(); ++c) {
    table[c] = HEX_INVALID;
  }
  for (uint16_t value = 0; value < 10; ++value) {
    table['0' + value] = value;
  }
  for (uint16_t value = 0; value < 6; ++value) {
    table['A' + value] = static_cast<uint16_t>(10 + value);
    table['a' + value] = static_cast<uint16_t>(10 + value);
  }
  return table;
}
inline constexpr std::array<uint16_t, 256> HEX_VALUE = MakeHexValues();

/* The byte two hex digits make, or -1 if either is not a hex digit. */
inline int DecodeHexPair(const char *hex) {
  const unsigned value = HEX_VALUE[static_cast<unsigned char>(hex[0])] << 4 |
                         HEX_VALUE[static_cast<unsigned char>(hex[1])];
  return value > 0xFF ? -1 : static_cast<int>(value);
}

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define TRELLAN_HEX_SSE2 1

/*
 * Sixteen hex digits to eight bytes (in the low half of the result). Bytes
 * that are not hex digits leave a non-zero byte in *bad, which gathers them
 * over a record so that it is tested once.
 */
inline __m128i DecodeSixteen(const char *hex, __m128i *bad) {
  const __m128i text = _mm_loadu_si128(reinterpret_cast<const __m128i *>(hex));
  /* Unsigned: a digit is at most 9 above '0', a letter in either case at most 5 above 'a'. */
  const __m128i digit = _mm_sub_epi8(text, _mm_set1_epi8('0'));
  const __m128i letter = _mm_sub_epi8(_mm_or_si128(text, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
  *bad = _mm_or_si128(*bad, _mm_min_epu8(_mm_subs_epu8(digit, _mm_set1_epi8(9)),
                                         _mm_subs_epu8(letter, _mm_set1_epi8(5))));
  /* A digit's letter value wraps above 0xD0, a letter's digit value lies above 0x10. */
  const __m128i nibbles = _mm_min_epu8(digit, _mm_add_epi8(letter, _mm_set1_epi8(10)));
  /* Each 16-bit lane holds the high nibble in its low byte and the low nibble above it. */
  const __m128i pairs = _mm_or_si128(_mm_slli_epi16(nibbles, 4), _mm_srli_epi16(nibbles, 8));
  return _mm_packus_epi16(_mm_and_si128(pairs, _mm_set1_epi16(0x00FF)), _mm_setzero_si128());
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
    __m128i bad = _mm_setzero_si128();
    for (; index + 8 <= byteCount; index += 8) {
      const __m128i packed = DecodeSixteen(hex + 2 * index, &bad);
      _mm_storel_epi64(reinterpret_cast<__m128i *>(bytes + index), packed);
      AddEight(packed, &sums);
    }
    if (index < byteCount) {
      /* The last eight bytes again, overlapping those done: only the new ones count towards the sum. */
      const size_t last = byteCount - 8;
      const __m128i packed = DecodeSixteen(hex + 2 * last, &bad);
      _mm_storel_epi64(reinterpret_cast<__m128i *>(bytes + last), packed);
      const int shift = static_cast<int>(8 * (index - last));
      AddEight(_mm_srl_epi64(packed, _mm_cvtsi32_si128(shift)), &sums);
      index = byteCount;
    }
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(bad, _mm_setzero_si128())) != 0xFFFF) {
      return false;
    }
    *sum += static_cast<unsigned>(_mm_cvtsi128_si32(sums));
  }
#endif
  unsigned invalid = 0;
  const auto *text = reinterpret_cast<const unsigned char *>(hex);
  for (; index < byteCount; ++index) {
    const unsigned high = HEX_VALUE[text[2 * index]];
    const unsigned low = HEX_VALUE[text[2 * index + 1]];
    invalid |= high | low;
    bytes[index] = static_cast<uint8_t>(high << 4 | (low & 0xF));
    *sum += bytes[index];
  }
  return (invalid & HEX_INVALID) == 0;
}

/*
 * As DecodeHex(), but where the CPU has SSE2 a record of under eight bytes is
 * decoded in one step when sixteen characters can be read from hex on (those
 * past the record are not looked at): short records, such as an Intel HEX
 * file's extended addresses, are half of some files.
 */
inline bool DecodeHexWithin(const char *hex, size_t byteCount, const char *textEnd, uint8_t *bytes, unsigned *sum) {
#ifdef TRELLAN_HEX_SSE2
  if (byteCount < 8 && textEnd - hex >= 16) {
    __m128i bad = _mm_setzero_si128();
    const __m128i packed = DecodeSixteen(hex, &bad);
    const int digits = (1 << (2 * byteCount)) - 1;
    if ((_mm_movemask_epi8(_mm_cmpeq_epi8(bad, _mm_setzero_si128())) & digits) != digits) {
      return false;
    }
    _mm_storel_epi64(reinterpret_cast<__m128i *>(bytes), packed);
    const __m128i record = _mm_sll_epi64(packed, _mm_cvtsi32_si128(static_cast<int>(8 * (8 - byteCount))));
    *sum += static_cast<unsigned>(_mm_cvtsi128_si32(_mm_sad_epu8(record, _mm_setzero_si128())));
    return true;
  }
#else
  (void)textEnd;
#endif
  return DecodeHex(hex, byteCount, bytes, sum);
}


constexpr std::array<char, 512> MakeHexPairs() {
  std::array<char, 512> pairs{};
  const char digits[] = "0123456789ABCDEF";
  for (int value = 0; value < 256; ++value) {
    pairs[2 * static_cast<size_t>(value)] = digits[value >> 4];
    pairs[2 * static_cast<size_t>(value) + 1] = digits[value & 0xF];
  }
  return pairs;
}
inline constexpr std::array<char, 512> HEX_PAIRS = MakeHexPairs();

#ifdef TRELLAN_HEX_SSE2
/* Sixteen bytes to thirty-two upper-case hex digits. */
inline void EncodeSixteen(__m128i data, char *out) {
  const __m128i mask = _mm_set1_epi8(0x0F);
  const __m128i high = _mm_and_si128(_mm_srli_epi16(data, 4), mask);
  const __m128i low = _mm_and_si128(data, mask);
  auto toText = [](__m128i nibbles) {
    const __m128i letters = _mm_cmpgt_epi8(nibbles, _mm_set1_epi8(9));
    return _mm_add_epi8(_mm_add_epi8(nibbles, _mm_set1_epi8('0')),
                        _mm_and_si128(letters, _mm_set1_epi8('A' - '0' - 10)));
  };
  const __m128i highText = toText(high);
  const __m128i lowText = toText(low);
  _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_unpacklo_epi8(highText, lowText));
  _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 16), _mm_unpackhi_epi8(highText, lowText));
}
#endif

/*
 * Writes a record's fields as upper-case hex digits, the prefix bytes (count,
 * address and the like) and then the data, followed by their checksum and a
 * newline. The checksum is the one's complement of the fields' byte sum, or
 * its two's complement when twosComplement is set. Returns the position after
 * the newline.
 */
inline char *EncodeRecord(const uint8_t *prefix, size_t prefixLength, const uint8_t *data, size_t dataLength,
                          bool twosComplement, char *out) {
  unsigned sum = 0;
  for (size_t index = 0; index < prefixLength; ++index) {
    sum += prefix[index];
    std::memcpy(out + 2 * index, &HEX_PAIRS[2 * static_cast<size_t>(prefix[index])], 2);
  }
  out += 2 * prefixLength;
  size_t index = 0;
#ifdef TRELLAN_HEX_SSE2
  __m128i sums = _mm_setzero_si128();
  for (; index + 16 <= dataLength; index += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + index));
    sums = _mm_add_epi64(sums, _mm_sad_epu8(bytes, _mm_setzero_si128()));
    EncodeSixteen(bytes, out + 2 * index);
  }
  sum += static_cast<unsigned>(_mm_cvtsi128_si32(_mm_add_epi64(sums, _mm_unpackhi_epi64(sums, sums))));
#endif
  for (; index < dataLength; ++index) {
    sum += data[index];
    std::memcpy(out + 2 * index, &HEX_PAIRS[2 * static_cast<size_t>(data[index])], 2);
  }
  out += 2 * dataLength;
  const unsigned checksum = (twosComplement ? 0x100 - (sum & 0xFF) : ~sum) & 0xFF;
  std::memcpy(out, &HEX_PAIRS[2 * checksum], 2);
  out[2] = '\n';
  return out + 3;
}

#endif
