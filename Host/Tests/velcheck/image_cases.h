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
#include "test_support.h"

struct ImageCase {
  std::string file;      /* S-record file in the folder */
  uint32_t tableAddress; /* where the table is, or would be */
  CitStatus status;      /* of the whole check */
  uint32_t entryCount;   /* when the header holds */
  uint32_t failedIndex;  /* for an entry status */
};

/* Writes every case's file into folder (with Velmark and edits of its output). */
std::vector<ImageCase> MakeImageCases(const ScratchFolder &folder);

/* The case whose file is named file; fails the calling test when there is none. */
ImageCase FindImageCase(const std::vector<ImageCase> &cases, const std::string &file);

#endif
