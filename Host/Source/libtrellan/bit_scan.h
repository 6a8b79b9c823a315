/* Finding set bits in a word, for the line reader's masks and the page store's bitmaps. */
#ifndef TRELLAN_BIT_SCAN_H
#define TRELLAN_BIT_SCAN_H

#include <cstdint>

/* The index of the lowest set bit of word, which is not 0. */
inline uint32_t LowestSetBit(uint64_t word) {
#if defined(__GNUC__)
  return static_cast<uint32_t>(__builtin_ctzll(word));
#else
  uint32_t index = 0;
  for (; (word & 1) == 0; word >>= 1) {
    ++index;
  }
  return index;
#endif
}

#endif
