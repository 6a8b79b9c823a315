/*
 * Range questions answered by one sort: holders by a sweep in start order
 * over a tree of minimum numbers keyed by end, meetings by the furthest end
 * reached so far.
 */
#include "range_index.h"

#include <algorithm>
#include <functional>

std::vector<size_t> FindFirstHolders(std::vector<NumberedRange> ranges, const std::vector<NumberedRange> &queries) {
  const auto byStart = [](const NumberedRange &left, const NumberedRange &right) { return left.start < right.start; };
  std::sort(ranges.begin(), ranges.end(), byStart);
  std::vector<uint64_t> ends;
  for (const NumberedRange &range : ranges) {
    ends.push_back(range.end);
  }
  std::sort(ends.begin(), ends.end(), std::greater<uint64_t>());
  ends.erase(std::unique(ends.begin(), ends.end()), ends.end());
  /* Position p of the tree covers the ends ends[0..p]: those at least as far as ends[p]. */
  std::vector<size_t> lowest(ends.size() + 1, SIZE_MAX);
  std::vector<size_t> order(queries.size());
  for (size_t index = 0; index < order.size(); ++index) {
    order[index] = index;
  }
  std::sort(order.begin(), order.end(),
            [&queries](size_t left, size_t right) { return queries[left].start < queries[right].start; });
  std::vector<size_t> holders(queries.size(), SIZE_MAX);
  size_t added = 0;
  for (const size_t query : order) {
    for (; added < ranges.size() && ranges[added].start <= queries[query].start; ++added) {
      const size_t position = static_cast<size_t>(
          std::lower_bound(ends.begin(), ends.end(), ranges[added].end, std::greater<uint64_t>()) - ends.begin());
      for (size_t node = position + 1; node < lowest.size(); node += node & (~node + 1)) {
        lowest[node] = std::min(lowest[node], ranges[added].number);
      }
    }
    const size_t reaching = static_cast<size_t>(
        std::partition_point(ends.begin(), ends.end(), [&](uint64_t end) { return end >= queries[query].end; }) -
        ends.begin());
    for (size_t node = reaching; node > 0; node -= node & (~node + 1)) {
      holders[query] = std::min(holders[query], lowest[node]);
    }
  }
  return holders;
}

ReachIndex BuildReachIndex(std::vector<NumberedRange> ranges) {
  ranges.erase(std::remove_if(ranges.begin(), ranges.end(),
                              [](const NumberedRange &range) { return range.end <= range.start; }),
               ranges.end());
  std::sort(ranges.begin(), ranges.end(),
            [](const NumberedRange &left, const NumberedRange &right) { return left.start < right.start; });
  ReachIndex index;
  for (const NumberedRange &range : ranges) {
    index.starts.push_back(range.start);
    index.reaches.push_back(std::max(range.end, index.reaches.empty() ? 0 : index.reaches.back()));
  }
  return index;
}

bool IsMetByIndex(const ReachIndex &index, uint64_t start, uint64_t end) {
  const size_t before =
      static_cast<size_t>(std::lower_bound(index.starts.begin(), index.starts.end(), end) - index.starts.begin());
  return start < end && before > 0 && index.reaches[before - 1] > start;
}
