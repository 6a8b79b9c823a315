/* Loading the same images with their records in any order, whole or as joined files. */
#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "ihex_text.h"
#include "image_fixture.h"
#include "page_store.h"
#include "srec_text.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Record {
  uint32_t address;
  Bytes data;
  std::string line;
};

struct RandomImage {
  std::vector<Record> records;
  std::map<uint32_t, uint8_t> model;
};

/* The value every record gives an address, so that overlapping records agree. */
uint8_t ValueAt(uint32_t address, uint32_t seed) {
  return static_cast<uint8_t>(((address ^ seed) * 2654435761u) >> 24);
}

/* As Intel HEX: an 04 record and the data for each 64 KiB window that the bytes touch. */
std::string IhexLines(uint32_t address, const Bytes &data) {
  std::string lines;
  for (size_t offset = 0; offset < data.size();) {
    const uint64_t at = uint64_t{address} + offset;
    const size_t length = std::min<uint64_t>(data.size() - offset, 0x10000 - (at & 0xFFFF));
    lines += IhexValue(4, static_cast<uint16_t>(at >> 16)) +
             Ihex(0, static_cast<uint16_t>(at), Bytes(data.begin() + offset, data.begin() + offset + length));
    offset += length;
  }
  return lines;
}

Record MakeRecord(std::mt19937 &random, uint32_t address, const Bytes &data, bool intelHex) {
  if (intelHex) {
    return {address, data, IhexLines(address, data)};
  }
  const char type = address <= 0xFFFF && random() % 2 == 0     ? '1'
                    : address <= 0xFFFFFF && random() % 2 == 0 ? '2'
                                                               : '3';
  return {address, data, Srec(type, address, data)};
}

/*
 * A few blocks, mostly close together so that they overlap or touch, some
 * anywhere or at the top of the address space, cut into records of 1 to 64
 * bytes; now and then a record comes twice.
 */
RandomImage MakeImage(std::mt19937 &random, uint32_t seed, bool intelHex) {
  RandomImage image;
  const int blocks = 1 + static_cast<int>(random() % 5);
  for (int block = 0; block < blocks; ++block) {
    const unsigned where = random() % 4;
    const uint32_t start = where == 0   ? static_cast<uint32_t>(random())
                           : where == 1 ? 0xFFFFFFFFu - random() % 200
                                        : 0x1000 + random() % 0x400;
    const uint64_t length = std::min<uint64_t>(1 + random() % 600, 0x100000000ull - start);
    for (uint64_t offset = 0; offset < length;) {
      const uint32_t address = static_cast<uint32_t>(start + offset);
      Bytes data(std::min<uint64_t>(1 + random() % 64, length - offset));
      for (size_t index = 0; index < data.size(); ++index) {
        data[index] = ValueAt(static_cast<uint32_t>(address + index), seed);
        image.model[static_cast<uint32_t>(address + index)] = data[index];
      }
      image.records.push_back(MakeRecord(random, address, data, intelHex));
      if (random() % 10 == 0) {
        image.records.push_back(image.records.back());
      }
      offset += data.size();
    }
  }
  return image;
}

/* The records in the order they were made, reversed, by address either way, or shuffled. */
std::vector<Record> Reorder(std::vector<Record> records, int order, std::mt19937 &random) {
  auto byAddress = [](const Record &a, const Record &b) { return a.address < b.address; };
  switch (order) {
    case 0: break;
    case 1: std::reverse(records.begin(), records.end()); break;
    case 2: std::stable_sort(records.begin(), records.end(), byAddress); break;
    case 3:
      std::stable_sort(records.begin(), records.end(), byAddress);
      std::reverse(records.begin(), records.end());
      break;
    default: std::shuffle(records.begin(), records.end(), random); break;
  }
  return records;
}

/* Cuts the records into one to three files, each closed by a count or end-of-file record. */
std::vector<std::string> MakeFiles(const std::vector<Record> &records, std::mt19937 &random, bool intelHex) {
  std::vector<std::string> files(1 + random() % 3);
  std::vector<uint32_t> counts(files.size(), 0);
  for (const Record &record : records) {
    const size_t file = random() % files.size();
    files[file] += record.line;
    counts[file]++;
  }
  for (size_t file = 0; file < files.size(); ++file) {
    files[file] += intelHex ? IHEX_END : Srec('5', counts[file]);
  }
  return files;
}

/* Loads the files joined end to end into one text, or one after another into the image. */
uint32_t LoadFiles(const std::vector<std::string> &files, bool joined) {
  std::string all;
  for (const std::string &file : files) {
    if (!joined) {
      const uint32_t status = TrlFirmwareLoadFromMemory(file.data(), file.size(), 0);
      if (status != TRL_OK) return status;
    }
    all += file;
  }
  return joined ? TrlFirmwareLoadFromMemory(all.data(), all.size(), 0) : static_cast<uint32_t>(TRL_OK);
}

TEST_F(ImageTest, RandomImagesLoadTheSameInAnyRecordOrderAndRefuseAnyContradiction) {
  const auto checkRandomImages = [](bool intelHex) {
    std::mt19937 random(2024);
    for (uint32_t seed = 0; seed < 60; ++seed) {
      const RandomImage image = MakeImage(random, seed, intelHex);
      const SegmentSnapshot expected = ModelSegments(image.model);
      for (int order = 0; order < 7; ++order) {
        const std::vector<std::string> files =
            MakeFiles(Reorder(image.records, order, random), random, intelHex);
        ASSERT_EQ(TRL_OK, TrlFirmwareClearData());
        ASSERT_EQ(TRL_OK, LoadFiles(files, order % 2 == 0)) << "image " << seed << " order " << order;
        ASSERT_EQ(expected, Segments()) << "image " << seed << " order " << order;
      }

      /* One byte given a second value anywhere in the order: refused, with or without data held. */
      const Record &original = image.records[random() % image.records.size()];
      Bytes data = original.data;
      data[random() % data.size()] ^= static_cast<uint8_t>(1 + random() % 255);
      std::vector<Record> records = Reorder(image.records, 4, random);
      records.insert(records.begin() + static_cast<std::ptrdiff_t>(random() % (records.size() + 1)),
                     MakeRecord(random, original.address, data, intelHex));
      const std::vector<std::string> files = MakeFiles(records, random, intelHex);
      const std::string savedBefore = Saved();
      EXPECT_EQ(TRL_ERR_CONFLICT, LoadFiles(files, true)) << "image " << seed;
      EXPECT_EQ(expected, Segments()) << "image " << seed;
      EXPECT_EQ(savedBefore, Saved()) << "image " << seed;
      ASSERT_EQ(TRL_OK, TrlFirmwareClearData());
      EXPECT_EQ(TRL_ERR_CONFLICT, LoadFiles(files, true)) << "image " << seed;
      EXPECT_EQ(0u, TrlFirmwareGetSegmentCount()) << "image " << seed;
    }
  };
  for (const bool intelHex : {false, true}) {
    SCOPED_TRACE(intelHex ? "Intel HEX" : "S-records");
    checkRandomImages(intelHex);
  }
}

TEST_F(ImageTest, RecordsScatteredBeyondThePageBudgetLoadAndConflictsStillShow) {
  /* A byte every 2 KiB from the top down: each needs a page of its own, more than the pages may take. */
  constexpr uint32_t COUNT = 70000;
  std::map<uint32_t, uint8_t> model;
  std::string text;
  for (uint32_t index = COUNT; index-- > 0;) {
    const uint32_t address = 0x01000000 + index * 2048;
    model[address] = ValueAt(address, 7);
    text += Srec('3', address, {model[address]});
  }
  ASSERT_EQ(TRL_OK, Load(text));
  EXPECT_EQ(ModelSegments(model), Segments());
  ASSERT_EQ(TRL_OK, TrlFirmwareClearData());
  EXPECT_EQ(TRL_ERR_CONFLICT, Load(text + Srec('3', 0x01000000, {static_cast<uint8_t>(model[0x01000000] ^ 1)})));
}

TEST_F(ImageTest, ImagesLargerThanTheStageLoadInAnyOrderAndRefuseAContradictionWhereverItLies) {
  /* 16-byte records out of order wait in a stage of 4 MiB: these fill it once and wait again. */
  constexpr uint32_t BASE = 0x20000000;
  constexpr uint32_t RECORDS = 300000;
  Bytes expected(uint64_t{RECORDS} * 16);
  for (uint32_t index = 0; index < expected.size(); ++index) {
    expected[index] = ValueAt(BASE + index, 3);
  }
  const auto line = [&expected](uint32_t record, uint8_t flip) {
    Bytes data(expected.begin() + record * 16, expected.begin() + record * 16 + 16);
    data[7] ^= flip;
    return Srec('3', BASE + record * 16, data);
  };
  std::vector<uint32_t> order(RECORDS);
  for (uint32_t index = 0; index < RECORDS; ++index) {
    order[index] = RECORDS - 1 - index;
  }
  std::string fromTheTop;
  for (const uint32_t record : order) {
    fromTheTop += line(record, 0);
  }
  std::mt19937 random(5);
  std::shuffle(order.begin(), order.end(), random);
  /* One 1 KiB page amid the others: held back until the stage has filled, or left out. */
  constexpr uint32_t HOLE = 1000 * 64;
  const auto inHole = [](uint32_t record) { return record >= HOLE && record < HOLE + 64; };
  std::string shuffled;
  std::string withHole;
  std::string held;
  for (const uint32_t record : order) {
    shuffled += line(record, 0);
    (inHole(record) ? held : withHole) += line(record, 0);
  }
  /* Near the end, another value for a byte of the second record: the two are placed with different fills. */
  std::string contradicted = fromTheTop;
  contradicted.insert(contradicted.size() - 1000 * line(0, 0).size(), line(RECORDS - 2, 1));
  const std::string heldLast = withHole + held;
  const struct {
    const char *name;
    const std::string &text;
    uint32_t status;
    bool hole;
  } cases[] = {{"shuffled", shuffled, TRL_OK, false},
               {"from the top down", fromTheTop, TRL_OK, false},
               {"contradicted", contradicted, TRL_ERR_CONFLICT, false},
               {"one page held back", heldLast, TRL_OK, false},
               {"one page left out", withHole, TRL_OK, true}};
  for (const auto &test : cases) {
    SCOPED_TRACE(test.name);
    ASSERT_EQ(TRL_OK, TrlFirmwareClearData());
    ASSERT_EQ(TRL_OK, Load(Srec('3', 0x100, {1, 2, 3})));
    EXPECT_EQ(test.status, Load(test.text));
    SegmentSnapshot segments{{0x100, {1, 2, 3}}};
    if (test.status == TRL_OK && test.hole) {
      segments.emplace_back(BASE, Bytes(expected.begin(), expected.begin() + HOLE * 16));
      segments.emplace_back(BASE + (HOLE + 64) * 16, Bytes(expected.begin() + (HOLE + 64) * 16, expected.end()));
    } else if (test.status == TRL_OK) {
      segments.emplace_back(BASE, expected);
    }
    EXPECT_EQ(segments, Segments());
  }
}

/*
 * Three pages in four of each window, one write a page, then writes into those pages until the stage fills: its
 * placing adds no page between them where the block has no room reserved for it, nor past the page budget.
 */
TEST(PageStoreTest, PagesBetweenHeldOnesStayWithinTheRoomAndTheBudget) {
  const struct {
    const char *name;
    uint32_t windows;
    size_t room;
  } cases[] = {{"no room reserved", 1, 0}, {"room past the budget", 1366, size_t{64} << 20}};
  const uint8_t data[16] = {};
  for (const auto &test : cases) {
    SCOPED_TRACE(test.name);
    PageStore store{};
    size_t written = 0;
    for (uint32_t window = 0; window < test.windows; ++window) {
      for (uint32_t page = 0; page < 64; page += page % 4 == 2 ? 2 : 1) {
        ASSERT_EQ(TRL_OK, PageStoreWrite(&store, 0x01000000 + window * 0x10000 + page * PAGE_SIZE, data, 16, test.room));
        ++written;
      }
    }
    for (size_t write = written; write <= STAGED_WRITES; ++write) {
      ASSERT_EQ(TRL_OK, PageStoreWrite(&store, 0x01000000, data, 16, test.room));
    }
    EXPECT_EQ(written, store.count);
    PageStoreClear(&store);
  }
}

}  // namespace
