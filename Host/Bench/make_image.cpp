/*
 * Writes an end-to-end benchmark image as S-record or Intel HEX text, with 16
 * data bytes a record, as many toolchains write them.
 *
 *   big:  16, 8 and 8 MiB of pseudo-random bytes at 0x08000000, 0x09000000
 *         and 0x0A000000;
 *   many: 300 000 segments of 16 bytes, 32 bytes apart from 0x08000000.
 *
 * The data records come in ascending address order, from the highest address
 * down, or in random order (the same on every run); the bytes at an address are
 * the same whatever the order. S-records: an S0 first, S3 data, then the S6
 * count and the S7. Intel HEX: an 04 record before every data record whose
 * 64 KiB window is not the one the last 04 named (0 at the start), as a
 * writer emitting records in that order does, then the 01.
 * The generator has its own encoder, so the images do not depend on the
 * library they measure.
 * Usage: make_image OUTPUT [big|many] [ascending|descending|random] [srec|ihex]
 */
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr uint32_t RECORD_BYTES = 16;

struct Block {
  uint32_t address;
  uint32_t size;
};

const Block BIG_IMAGE[] = {{0x08000000, 16u << 20}, {0x09000000, 8u << 20}, {0x0A000000, 8u << 20}};
constexpr uint32_t MANY_SEGMENTS = 300000;

struct Record {
  uint32_t address;
  uint32_t offset; /* of its bytes in Image::bytes */
};

struct Image {
  std::vector<uint8_t> bytes;
  std::vector<Record> records;
};

void AddBlock(Image *image, uint32_t address, uint32_t size, uint32_t *state) {
  for (uint32_t offset = 0; offset < size; offset += RECORD_BYTES) {
    image->records.push_back({address + offset, static_cast<uint32_t>(image->bytes.size() + offset)});
  }
  for (uint32_t index = 0; index < size; ++index) {
    *state = *state * 1103515245u + 12345u;
    image->bytes.push_back(static_cast<uint8_t>(*state >> 16));
  }
}

bool MakeImage(const std::string &kind, Image *image) {
  uint32_t state = 2024;
  if (kind == "big") {
    for (const Block &block : BIG_IMAGE) {
      AddBlock(image, block.address, block.size, &state);
    }
    return true;
  }
  if (kind == "many") {
    for (uint32_t index = 0; index < MANY_SEGMENTS; ++index) {
      AddBlock(image, 0x08000000 + index * 32, RECORD_BYTES, &state);
    }
    return true;
  }
  return false;
}

bool Reorder(std::vector<Record> *records, const std::string &order) {
  if (order == "descending") {
    std::vector<Record>(records->rbegin(), records->rend()).swap(*records);
  } else if (order == "random") {
    /* Fisher-Yates by hand: std::shuffle's sequence differs between standard libraries. */
    std::mt19937 random(7);
    for (size_t index = records->size(); index > 1; --index) {
      std::swap((*records)[index - 1], (*records)[random() % index]);
    }
  } else if (order != "ascending") {
    return false;
  }
  return true;
}

/* One record line: prefix, count byte, the given bytes, checksum (S-record: one's complement). */
void PutRecord(std::string *text, const char *prefix, const std::vector<uint8_t> &fields, bool srec) {
  static const char DIGITS[] = "0123456789ABCDEF";
  *text += prefix;
  const size_t count = srec ? fields.size() + 1 : fields.size() - 3;
  unsigned sum = static_cast<unsigned>(count);
  auto putByte = [text](unsigned byte) {
    text->push_back(DIGITS[(byte >> 4) & 0xF]);
    text->push_back(DIGITS[byte & 0xF]);
  };
  putByte(static_cast<unsigned>(count));
  for (uint8_t byte : fields) {
    putByte(byte);
    sum += byte;
  }
  putByte(srec ? ~sum & 0xFF : (0x100 - (sum & 0xFF)) & 0xFF);
  text->push_back('\n');
}

std::vector<uint8_t> BigEndian(uint32_t value, unsigned size) {
  std::vector<uint8_t> bytes;
  for (unsigned index = size; index-- > 0;) {
    bytes.push_back(static_cast<uint8_t>(value >> (8 * index)));
  }
  return bytes;
}

std::string RenderSrec(const Image &image) {
  std::string text;
  PutRecord(&text, "S0", {0, 0, 'b', 'e', 'n', 'c', 'h'}, true);
  for (const Record &record : image.records) {
    std::vector<uint8_t> fields = BigEndian(record.address, 4);
    fields.insert(fields.end(), &image.bytes[record.offset], &image.bytes[record.offset] + RECORD_BYTES);
    PutRecord(&text, "S3", fields, true);
  }
  PutRecord(&text, "S6", BigEndian(static_cast<uint32_t>(image.records.size()), 3), true);
  PutRecord(&text, "S7", BigEndian(0, 4), true);
  return text;
}

std::string RenderIhex(const Image &image) {
  std::string text;
  uint32_t window = 0;
  for (const Record &record : image.records) {
    if (record.address >> 16 != window) {
      window = record.address >> 16;
      std::vector<uint8_t> fields = {0, 0, 4};
      for (uint8_t byte : BigEndian(window, 2)) {
        fields.push_back(byte);
      }
      PutRecord(&text, ":", fields, false);
    }
    std::vector<uint8_t> fields = BigEndian(record.address & 0xFFFF, 2);
    fields.push_back(0);
    fields.insert(fields.end(), &image.bytes[record.offset], &image.bytes[record.offset] + RECORD_BYTES);
    PutRecord(&text, ":", fields, false);
  }
  PutRecord(&text, ":", {0, 0, 1}, false);
  return text;
}

const char USAGE[] = "usage: make_image OUTPUT [big|many] [ascending|descending|random] [srec|ihex]\n";

}  // namespace

int main(int argc, char *argv[]) {
  const std::string kind = argc > 2 ? argv[2] : "big";
  const std::string order = argc > 3 ? argv[3] : "ascending";
  const std::string format = argc > 4 ? argv[4] : "srec";
  Image image;
  if (argc < 2 || argc > 5 || (format != "srec" && format != "ihex") || !MakeImage(kind, &image) ||
      !Reorder(&image.records, order)) {
    std::fprintf(stderr, USAGE);
    return 2;
  }
  const std::string text = format == "srec" ? RenderSrec(image) : RenderIhex(image);
  FILE *file = std::fopen(argv[1], "wb");
  bool written = file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (file == nullptr || std::fclose(file) != 0 || !written) {
    std::fprintf(stderr, "make_image: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
