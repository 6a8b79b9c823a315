/*
 * Images that Velmark makes from the sample image, whole and damaged, with
 * the outcome a check of each must have. The checker's and Velcheck's tests
 * both run over them.
 */
#ifndef IMAGE_CASES_H
#define IMAGE_CASES_H

#include <cstdint>
#include <string>
#include <vector>

#include "checksum_info_table.h"
#include "table_reader.h"
#include "test_support.h"

struct ImageCase {
  std::string file;      /* S-record file in the folder */
  uint32_t tableAddress; /* where the table is, or would be */
  CitStatus status;      /* of the whole check */
  uint32_t entryCount;   /* when the header holds */
  uint32_t failedIndex;  /* for an entry status */
  std::string strayReport; /* what Velcheck's search reports before the table */
};

/* Writes image as S3 records of up to 32 bytes and an S7 into path. */
void WriteImageFile(const std::string &path, const ImageSegments &image);

/* The table that a Velmark which never checks its table's count would write over image. */
std::vector<uint8_t> BuildTableOver(const ImageSegments &image);

/*
 * Inputs whose table the count byte leaves open to a second count: 2,214
 * one-byte segments (byte i * 37 mod 256 at 0x10000000 + 2i), whose table also
 * gives its list CRC at 1,190 entries; and 256 segments whose table's list CRC
 * is 0xFFFF, the CRC of no entries at all.
 */
ImageSegments MakeSpreadByteImage();
ImageSegments MakeEmptyListCrcImage();

/*
 * Input for a table of one entry at 0x08000F00 (-a08000F00), followed in the
 * same segment by the 2,560 bytes of the range -x08000F14:08001913: 256 more
 * entries that Velcheck's search (ascending true) or only its -a (ascending
 * false) reads on through, whose list CRC gives the table's list CRC again.
 */
ImageSegments MakeTrailingEntriesImage(bool ascending);

/* Writes every case's file into folder (with Velmark and edits of its output). */
std::vector<ImageCase> MakeImageCases(const ScratchFolder &folder);

/* The case whose file is named file; fails the calling test when there is none. */
ImageCase FindImageCase(const std::vector<ImageCase> &cases, const std::string &file);

#endif
