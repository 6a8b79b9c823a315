#include "hex_codec.h"

#include <array>
#include <cstring>

namespace {

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
