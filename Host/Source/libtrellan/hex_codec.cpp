#include "hex_codec.h"

#include <array>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define TRELLAN_HEX_SSE2 1
#endif

namespace {

constexpr uint16_t NOT_HEX = 0x100;

constexpr std::array<uint16_t, 256> MakeHexValues() {
  std::array<uint16_t, 256> table{};
  for (int c = 0; c < 256; ++c) {
    table[c] = NOT_HEX;
  }
  for (int c = 0; c < 10; ++c) {
    table['0' + c] = static_cast<uint16_t>(c);
  }
  for (int c = 0; c < 6; ++c) {
    table['A' + c] = static_cast<uint16_t>(10 + c);
    table['a' + c] = static_cast<uint16_t>(10 + c);
  }
  return table;
}
constexpr std::array<uint16_t, 256> HEX_VALUE = MakeHexValues();

constexpr std::array<char, 512> MakeHexPairs() {
  std::array<char, 512> pairs{};
  const char digits[] = "0123456789ABCDEF";
  for (int value = 0; value < 256; ++value) {
    pairs[2 * static_cast<size_t>(value)] = digits[value >> 4];
    pairs[2 * static_cast<size_t>(value) + 1] = digits[value & 0xF];
  }
  return pairs;
}
constexpr std::array<char, 512> HEX_PAIRS = MakeHexPairs();

#ifdef TRELLAN_HEX_SSE2
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

}  // namespace

bool DecodeHex(const char *hex, size_t byteCount, uint8_t *bytes, unsigned *sum) {
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
  unsigned invalid = 0;
  const auto *text = reinterpret_cast<const unsigned char *>(hex);
  for (; index < byteCount; ++index) {
    const unsigned high = HEX_VALUE[text[2 * index]];
    const unsigned low = HEX_VALUE[text[2 * index + 1]];
    invalid |= high | low;
    bytes[index] = static_cast<uint8_t>((high << 4) | (low & 0xF));
    *sum += bytes[index];
  }
  return (invalid & NOT_HEX) == 0;
}

char *EncodeRecord(const uint8_t *prefix, size_t prefixLength, const uint8_t *data, size_t dataLength,
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
