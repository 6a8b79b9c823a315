/*
 * Questions about many ranges asked many times, answered by sorting once:
 * which range holds another whole, and whether any range meets another. An
 * ELF may have tens of thousands of sections and segments, and asking each
 * section about each segment would take minutes.
 */
#ifndef TRELLAN_RANGE_INDEX_H
#define TRELLAN_RANGE_INDEX_H

#include <cstddef>
#include <cstdint>
#include <vector>

/* [start, end), and the number that orders it among its kind. */
struct NumberedRange {
  uint64_t start;
  uint64_t end;
  size_t number;
};

/* For each query, the lowest number of the ranges that hold it whole, or SIZE_MAX where none does. */
std::vector<size_t> FindFirstHolders(std::vector<NumberedRange> ranges, const std::vector<NumberedRange> &queries);

/* Ranges ordered by start, each with the furthest end of it and those before. */
struct ReachIndex {
  std::vector<uint64_t> starts;
  std::vector<uint64_t> reaches;
};

ReachIndex BuildReachIndex(std::vector<NumberedRange> ranges);

/* True when some non-empty range of index shares an address with [start, end). */
bool IsMetByIndex(const ReachIndex &index, uint64_t start, uint64_t end);

#endif
