/*
 * Writes an end-to-end benchmark image as S-record or Intel HEX text.
 *
 *   big:  16, 8 and 8 MiB of pseudo-random bytes at 0x08000000, 0x09000000
 *         and 0x0A000000 (S3 records of 32 bytes, or Intel HEX of 16);
 *   many: 300 000 segments of 16 bytes, 32 bytes apart from 0x08000000.
 *
 * The data records are written in ascending address order, from the highest
 * address down, or shuffled (the same shuffle on every run); the header comes
 * first and the count and termination records last, whatever the order.
 * Intel HEX data records only mean something after the 04 record of their
 * 64 KiB window, so there the windows are reordered, each with its 04
 * record first, and the data records within each window.
 * Usage: make_image OUTPUT [big|many] [ascending|descending|shuffled] [srec|ihex]
 */
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "trellan.h"

namespace {

struct Block {
  uint32_t address;
  uint32_t size;
};

const Block BIG_IMAGE[] = {{0x08000000, 16u << 20}, {0x09000000, 8u << 20}, {0x0A000000, 8u << 20}};
constexpr uint32_t MANY_SEGMENTS = 300000;

std::vector<uint8_t> PseudoRandomBytes(size_t count, uint32_t *state) {
  std::vector<uint8_t> bytes(count);
  for (auto &byte : bytes) {
    *state = *state * 1103515245u + 12345u;
    byte = static_cast<uint8_t>(*state >> 16);
  }
  return bytes;
}

bool AddImage(const std::string &kind) {
  uint32_t state = 2024;
  if (kind == "big") {
    for (const Block &block : BIG_IMAGE) {
      std::vector<uint8_t> bytes = PseudoRandomBytes(block.size, &state);
      TrlFirmwareAddData(block.address, block.size, bytes.data());
    }
    return true;
  }
  if (kind == "many") {
    for (uint32_t index = 0; index < MANY_SEGMENTS; ++index) {
      std::vector<uint8_t> bytes = PseudoRandomBytes(16, &state);
      TrlFirmwareAddData(0x08000000 + index * 32, 16, bytes.data());
    }
    return true;
  }
  return false;
}

/* Splits text into lines, each keeping its newline. */
std::vector<std::string> SplitLines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

bool IsDataRecord(const std::string &line) {
  if (line[0] == ':') {
    return line.size() > 8 && (line.compare(7, 2, "00") == 0 || line.compare(7, 2, "04") == 0);
  }
  return line.size() > 1 && line[1] >= '1' && line[1] <= '3';
}

template <typename Iterator>
void Reorder(Iterator first, Iterator last, const std::string &order, std::mt19937 *random) {
  if (order == "descending") {
    std::reverse(first, last);
  } else if (order == "shuffled") {
    /* Fisher-Yates by hand: std::shuffle's sequence differs between standard libraries. */
    for (auto index = last - first; index > 1; --index) {
      std::swap(first[index - 1], first[(*random)() % index]);
    }
  }
}

/* Reorders the data records between the leading header and the trailing count and termination. */
bool ReorderDataRecords(std::vector<std::string> *lines, const std::string &order) {
  if (order != "ascending" && order != "descending" && order != "shuffled") {
    return false;
  }
  auto first = std::find_if(lines->begin(), lines->end(), IsDataRecord);
  auto last = std::find_if_not(first, lines->end(), IsDataRecord);
  std::mt19937 random(7);
  if (first == last || (*first)[0] != ':') {
    Reorder(first, last, order, &random);
    return true;
  }
  /* Intel HEX: windows, each an 04 record (none for the first, while it is 0) and its data. */
  std::vector<std::vector<std::string>> windows;
  for (auto line = first; line != last; ++line) {
    if (windows.empty() || line->compare(7, 2, "04") == 0) {
      windows.emplace_back();
    }
    windows.back().push_back(*line);
  }
  for (auto &window : windows) {
    const bool extended = window.front().compare(7, 2, "04") == 0;
    Reorder(window.begin() + (extended ? 1 : 0), window.end(), order, &random);
  }
  Reorder(windows.begin(), windows.end(), order, &random);
  std::vector<std::string> reordered(lines->begin(), first);
  for (const auto &window : windows) {
    if (window.front().compare(7, 2, "04") != 0 && &window != &windows.front()) {
      reordered.push_back(":020000040000FA\n"); /* the window at 0 needs saying once others came first */
    }
    reordered.insert(reordered.end(), window.begin(), window.end());
  }
  reordered.insert(reordered.end(), last, lines->end());
  *lines = std::move(reordered);
  return true;
}

const char USAGE[] = "usage: make_image OUTPUT [big|many] [ascending|descending|shuffled] [srec|ihex]\n";

}  // namespace

int main(int argc, char *argv[]) {
  const std::string kind = argc > 2 ? argv[2] : "big";
  const std::string order = argc > 3 ? argv[3] : "ascending";
  const std::string format = argc > 4 ? argv[4] : "srec";
  TrlFirmwareInit(format == "ihex" ? TRL_FILE_FORMAT_IHEX : TRL_FILE_FORMAT_SREC);
  if (argc < 2 || argc > 5 || (format != "srec" && format != "ihex") || !AddImage(kind)) {
    std::fprintf(stderr, USAGE);
    return 2;
  }
  size_t length = 0;
  TrlFirmwareSaveToMemory(nullptr, 0, &length);
  std::string text(length, '\0');
  uint32_t status = TrlFirmwareSaveToMemory(&text[0], text.size(), &length);
  TrlFirmwareTerminate();
  std::vector<std::string> lines = SplitLines(text);
  if (status != TRL_OK || !ReorderDataRecords(&lines, order)) {
    std::fprintf(stderr, USAGE);
    return 2;
  }
  FILE *file = std::fopen(argv[1], "wb");
  bool written = file != nullptr;
  for (size_t index = 0; written && index < lines.size(); ++index) {
    written = std::fwrite(lines[index].data(), 1, lines[index].size(), file) == lines[index].size();
  }
  if (file == nullptr || std::fclose(file) != 0 || !written) {
    std::fprintf(stderr, "make_image: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
