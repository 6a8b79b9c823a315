/*
 * Which loaded addresses an ELF save can change. A save writes each image
 * byte at the file offsets it was loaded from, so an address whose bytes come
 * from the ELF's own headers or name table must keep them; and where file
 * bytes load at two addresses, both must agree, so such an address ties the
 * other to it.
 */
#include <algorithm>
#include <map>
#include <utility>
#include <vector>

#include "elf_file.h"

namespace {

/*
 * Pieces sorted by where they start in one space, file offsets or addresses,
 * as an implicit tree: each subtree [low, high) of them has its root at the
 * middle, whose reach is the furthest end in the subtree.
 */
struct PieceIndex {
  std::vector<ElfPiece> pieces;
  std::vector<uint64_t> reaches;
  bool byAddress;
};

uint64_t PieceStart(const PieceIndex &index, const ElfPiece &piece) {
  return index.byAddress ? piece.address : piece.fileOffset;
}

uint64_t BuildReaches(PieceIndex *index, size_t low, size_t high) {
  if (low >= high) {
    return 0;
  }
  const size_t middle = low + (high - low) / 2;
  const ElfPiece &piece = index->pieces[middle];
  index->reaches[middle] = std::max(
      {PieceStart(*index, piece) + piece.length, BuildReaches(index, low, middle), BuildReaches(index, middle + 1, high)});
  return index->reaches[middle];
}

PieceIndex MakePieceIndex(const std::vector<ElfPiece> &pieces, bool byAddress) {
  PieceIndex index{pieces, std::vector<uint64_t>(pieces.size()), byAddress};
  std::sort(index.pieces.begin(), index.pieces.end(), [&index](const ElfPiece &left, const ElfPiece &right) {
    return PieceStart(index, left) < PieceStart(index, right);
  });
  BuildReaches(&index, 0, index.pieces.size());
  return index;
}

/* Calls visit(piece) for each piece of [low, high) that shares a byte with [start, end). */
template <typename Visit>
void VisitPiecesMeeting(const PieceIndex &index, size_t low, size_t high, uint64_t start, uint64_t end, Visit &visit) {
  if (low >= high) {
    return;
  }
  const size_t middle = low + (high - low) / 2;
  if (index.reaches[middle] <= start) {
    return;
  }
  VisitPiecesMeeting(index, low, middle, start, end, visit);
  const ElfPiece &piece = index.pieces[middle];
  if (PieceStart(index, piece) >= end) {
    return;
  }
  if (PieceStart(index, piece) + piece.length > start) {
    visit(piece);
  }
  VisitPiecesMeeting(index, middle + 1, high, start, end, visit);
}

/* Disjoint runs [start, end) keyed by start, touching ones joined. */
using RunMap = std::map<uint64_t, uint64_t>;

/* Adds [start, end) to runs; the parts that were in none of them go to added. */
void AddRun(RunMap *runs, uint64_t start, uint64_t end, std::vector<std::pair<uint64_t, uint64_t>> *added) {
  auto first = runs->upper_bound(start);
  if (first != runs->begin() && std::prev(first)->second >= start) {
    --first;
  }
  uint64_t at = start;
  uint64_t joinedStart = start;
  uint64_t joinedEnd = end;
  auto last = first;
  for (; last != runs->end() && last->first <= end; ++last) {
    if (at < last->first) {
      added->emplace_back(at, last->first);
    }
    at = std::max(at, last->second);
    joinedStart = std::min(joinedStart, last->first);
    joinedEnd = std::max(joinedEnd, last->second);
  }
  if (at < end) {
    added->emplace_back(at, end);
  }
  runs->erase(first, last);
  runs->emplace(joinedStart, joinedEnd);
}

/*
 * The addresses that a save can change none of: those that header bytes
 * load, those that file bytes loading at such an address load too, the
 * addresses of other file bytes loading there, and so on. Each byte joins
 * once, so the walk is as long as the pieces at most.
 */
std::vector<ElfPiece> FindFixedAddresses(const std::vector<ElfPiece> &pieces, const std::vector<ElfPiece> &headers) {
  const PieceIndex byFile = MakePieceIndex(pieces, false);
  const PieceIndex byAddress = MakePieceIndex(pieces, true);
  RunMap fileRuns;
  RunMap addressRuns;
  struct Pending {
    uint64_t start;
    uint64_t end;
    bool isAddress;
  };
  std::vector<Pending> work;
  std::vector<std::pair<uint64_t, uint64_t>> added;
  for (const ElfPiece &header : headers) {
    if (header.length > 0) {
      AddRun(&fileRuns, header.fileOffset, header.fileOffset + header.length, &added);
    }
  }
  for (const auto &[start, end] : added) {
    work.push_back(Pending{start, end, false});
  }
  while (!work.empty()) {
    const Pending item = work.back();
    work.pop_back();
    const PieceIndex &index = item.isAddress ? byAddress : byFile;
    auto tie = [&](const ElfPiece &piece) {
      const uint64_t from = PieceStart(index, piece);
      const uint64_t to = item.isAddress ? piece.fileOffset : piece.address;
      const uint64_t first = std::max(item.start, from);
      const uint64_t last = std::min(item.end, from + piece.length);
      added.clear();
      AddRun(item.isAddress ? &fileRuns : &addressRuns, to + (first - from), to + (last - from), &added);
      for (const auto &[start, end] : added) {
        work.push_back(Pending{start, end, !item.isAddress});
      }
    };
    VisitPiecesMeeting(index, 0, index.pieces.size(), item.start, item.end, tie);
  }
  std::vector<ElfPiece> fixed;
  for (const auto &[start, end] : addressRuns) {
    fixed.push_back(ElfPiece{0, static_cast<uint32_t>(start), static_cast<uint32_t>(end - start)});
  }
  return fixed;
}

/* The runs of covered (ascending, disjoint) less the addresses in cut (the same). */
std::vector<ElfPiece> RemoveRuns(const std::vector<ElfPiece> &covered, const std::vector<ElfPiece> &cut) {
  std::vector<ElfPiece> left;
  size_t next = 0;
  for (const ElfPiece &run : covered) {
    uint64_t address = run.address;
    const uint64_t end = uint64_t{run.address} + run.length;
    while (next < cut.size() && uint64_t{cut[next].address} + cut[next].length <= address) {
      ++next;
    }
    for (size_t index = next; index < cut.size() && cut[index].address < end; ++index) {
      if (cut[index].address > address) {
        left.push_back(ElfPiece{0, static_cast<uint32_t>(address), static_cast<uint32_t>(cut[index].address - address)});
      }
      address = std::max<uint64_t>(address, uint64_t{cut[index].address} + cut[index].length);
    }
    if (address < end) {
      left.push_back(ElfPiece{0, static_cast<uint32_t>(address), static_cast<uint32_t>(end - address)});
    }
  }
  return left;
}

bool LoadsHeaders(const std::vector<ElfPiece> &pieces, const std::vector<ElfPiece> &headers) {
  for (const ElfPiece &header : headers) {
    for (const ElfPiece &piece : pieces) {
      if (header.length > 0 && piece.fileOffset < header.fileOffset + header.length &&
          header.fileOffset < piece.fileOffset + piece.length) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace

std::vector<ElfPiece> MergeCoverage(std::vector<ElfPiece> pieces) {
  std::sort(pieces.begin(), pieces.end(),
            [](const ElfPiece &left, const ElfPiece &right) { return left.address < right.address; });
  std::vector<ElfPiece> covered;
  for (const ElfPiece &piece : pieces) {
    const uint64_t end = uint64_t{piece.address} + piece.length;
    if (!covered.empty() && piece.address <= uint64_t{covered.back().address} + covered.back().length) {
      ElfPiece &last = covered.back();
      last.length = static_cast<uint32_t>(std::max<uint64_t>(uint64_t{last.address} + last.length, end) - last.address);
    } else {
      covered.push_back(ElfPiece{0, piece.address, piece.length});
    }
  }
  return covered;
}

std::vector<ElfPiece> FindChangeableAddresses(const std::vector<ElfPiece> &pieces, const std::vector<ElfPiece> &headers,
                                              const std::vector<ElfPiece> &loaded, bool *loadsHeaders) {
  *loadsHeaders = LoadsHeaders(pieces, headers);
  return *loadsHeaders ? RemoveRuns(loaded, FindFixedAddresses(pieces, headers)) : loaded;
}
