/* The CRC-16 by carry-less multiplication (PCLMULQDQ) on x86-64: see crc16.h. */
#include "crc16.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

#include <array>

/* Only these functions use the instructions, and only once the CPU has been asked. */
#define CRC16_FOLD_TARGET __attribute__((target("pclmul,sse4.1")))

namespace {

constexpr size_t BLOCK_BYTES = 16;
constexpr unsigned LANES = 8;
constexpr size_t STRIDE_BYTES = BLOCK_BYTES * LANES;

/* x^exponent modulo the CRC polynomial, a 16-bit remainder. */
constexpr long long PowerOfXModulo(unsigned exponent) {
  unsigned remainder = 1;
  for (; exponent > 0; --exponent) {
    remainder <<= 1;
    if ((remainder & 0x10000) != 0) {
      remainder ^= 0x10000 | CRC16_POLYNOMIAL;
    }
  }
  return remainder;
}

/*
 * A block is a polynomial of degree below 128, its first byte's top bit the
 * highest coefficient: the message, not reflected. Moving it up by a distance
 * modulo the CRC polynomial is two products of a 64-bit half by a 16-bit
 * remainder, which stay below degree 80: the result is again a block.
 */
struct FoldConstants {
  long long high;  // x^(distance + 64) modulo the polynomial, for the upper half
  long long low;   // x^distance modulo the polynomial, for the lower half
};

/* FOLD_CONSTANTS[k]: for moving a block up by k blocks; [LANES] by a stride of all lanes. */
constexpr std::array<FoldConstants, LANES + 1> MakeFoldConstants() {
  std::array<FoldConstants, LANES + 1> constants{};
  for (unsigned blocks = 0; blocks <= LANES; ++blocks) {
    const unsigned distance = 8 * BLOCK_BYTES * blocks;
    constants[blocks] = {PowerOfXModulo(distance + 64), PowerOfXModulo(distance)};
  }
  return constants;
}
constexpr std::array<FoldConstants, LANES + 1> FOLD_CONSTANTS = MakeFoldConstants();

CRC16_FOLD_TARGET __m128i LoadFoldConstants(unsigned blocks) {
  return _mm_set_epi64x(FOLD_CONSTANTS[blocks].high, FOLD_CONSTANTS[blocks].low);
}

CRC16_FOLD_TARGET __m128i FoldBlock(__m128i block, __m128i constants) {
  return _mm_xor_si128(_mm_clmulepi64_si128(block, constants, 0x00),
                       _mm_clmulepi64_si128(block, constants, 0x11));
}

CRC16_FOLD_TARGET __m128i LoadBlock(const uint8_t *data, __m128i reverse) {
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(data)), reverse);
}

/*
 * Eight lanes, each a block congruent to every eighth block of the input so
 * far, hide the multiplier's latency. In the end the lanes fold into one
 * block, which the table reduces to the register.
 */
CRC16_FOLD_TARGET uint16_t UpdateCrc16ByFolding(uint16_t crc, const uint8_t *data, size_t length) {
  if (length < STRIDE_BYTES) {
    return UpdateCrc16ByTable(crc, data, length);
  }
  const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  __m128i lanes[LANES];
  for (unsigned lane = 0; lane < LANES; ++lane) {
    lanes[lane] = LoadBlock(data + lane * BLOCK_BYTES, reverse);
  }
  /* The register counts as the first two bytes of the input, added to them. */
  lanes[0] = _mm_xor_si128(lanes[0], _mm_set_epi64x(static_cast<long long>(uint64_t{crc} << 48), 0));
  data += STRIDE_BYTES;
  length -= STRIDE_BYTES;
  const __m128i acrossStride = LoadFoldConstants(LANES);
  for (; length >= STRIDE_BYTES; data += STRIDE_BYTES, length -= STRIDE_BYTES) {
#pragma GCC unroll 8
    for (unsigned lane = 0; lane < LANES; ++lane) {
      lanes[lane] = _mm_xor_si128(FoldBlock(lanes[lane], acrossStride),
                                  LoadBlock(data + lane * BLOCK_BYTES, reverse));
    }
  }
  __m128i folded = lanes[LANES - 1];
  for (unsigned lane = 0; lane < LANES - 1; ++lane) {
    folded = _mm_xor_si128(folded, FoldBlock(lanes[lane], LoadFoldConstants(LANES - 1 - lane)));
  }
  const __m128i acrossBlock = LoadFoldConstants(1);
  for (; length >= BLOCK_BYTES; data += BLOCK_BYTES, length -= BLOCK_BYTES) {
    folded = _mm_xor_si128(FoldBlock(folded, acrossBlock), LoadBlock(data, reverse));
  }
  /* From 0, the table gives the block times x^16 modulo the polynomial: the register. */
  uint8_t bytes[BLOCK_BYTES];
  _mm_storeu_si128(reinterpret_cast<__m128i *>(bytes), _mm_shuffle_epi8(folded, reverse));
  return UpdateCrc16ByTable(UpdateCrc16ByTable(0, bytes, BLOCK_BYTES), data, length);
}

}  // namespace

Crc16Update FindCrc16Folding() {
  __builtin_cpu_init();
  const bool canFold = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return canFold ? UpdateCrc16ByFolding : nullptr;
}

#else

Crc16Update FindCrc16Folding() { return nullptr; }

#endif
