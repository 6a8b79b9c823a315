/*
 * Velcheck: checks an image (S-records, Intel HEX or a raw read-back) against
 * the checksum info table in it.
 *
 * The table is checked by the very checker that firmware runs at boot
 * (Target/Source/checksum-info-table), compiled into this tool, so that the
 * host and the device cannot disagree about an image.
 */
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "checksum_info_table.h"
#include "table_search.h"
#include "trellan.h"

/* Exit codes as cmp and diff use them. */
enum { RESULT_MATCH = 0, RESULT_MISMATCH = 1, RESULT_TROUBLE = 2 };

/* Settings, filled in by ParseCommandLine(); the name points into argv. */
static bool tableAddressGiven;
static uint32_t tableAddress;
static bool binaryImage; /* raw bytes, the first at binaryBaseAddress */
static uint32_t binaryBaseAddress;
static const char *imageFile;

/* Reads text as a 32-bit hexadecimal number (an optional 0x, then only hex digits). */
static bool ParseHexAddress(const char *text, uint32_t *address) {
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text += 2;
  }
  if (*text == '\0') {
    return false;
  }
  uint64_t value = 0;
  for (; *text != '\0'; ++text) {
    const int character = tolower(static_cast<unsigned char>(*text));
    if (!isxdigit(character)) {
      return false;
    }
    value = value * 16 + static_cast<uint64_t>(isdigit(character) ? character - '0' : character - 'a' + 10);
    if (value > 0xFFFFFFFF) {
      return false;
    }
  }
  *address = static_cast<uint32_t>(value);
  return true;
}

/* Options -a<hex> and -b<hex>, each at most once and in either order, then the image file. */
static bool ParseCommandLine(int argc, char *argv[]) {
  tableAddressGiven = false;
  tableAddress = 0;
  binaryImage = false;
  binaryBaseAddress = 0;
  imageFile = NULL;
  if (argv == NULL || argc < 2 || argc > 4) {
    return false;
  }
  for (int index = 1; index < argc - 1; ++index) {
    if (strncmp(argv[index], "-a", 2) == 0 && !tableAddressGiven) {
      tableAddressGiven = ParseHexAddress(argv[index] + 2, &tableAddress);
      if (!tableAddressGiven) {
        return false;
      }
    } else if (strncmp(argv[index], "-b", 2) == 0 && !binaryImage) {
      binaryImage = ParseHexAddress(argv[index] + 2, &binaryBaseAddress);
      if (!binaryImage) {
        return false;
      }
    } else {
      return false;
    }
  }
  imageFile = argv[argc - 1];
  return imageFile[0] != '\0' && imageFile[0] != '-';
}

/* The image as the options say: raw bytes at the -b address, or S-records or Intel HEX. */
static uint32_t LoadImage(void) {
  return binaryImage ? TrlFirmwareLoadBinaryFromFile(imageFile, binaryBaseAddress)
                     : TrlFirmwareLoadFromFile(imageFile, 0);
}

/*
 * The segment that holds address: its data, base address and length, or NULL.
 * Segments ascend and never touch, so a range inside the image lies in one.
 */
static const uint8_t *FindSegmentAt(uint32_t address, uint32_t *segmentAddress, uint32_t *segmentLength) {
  uint32_t low = 0;
  uint32_t high = TrlFirmwareGetSegmentCount();
  while (low < high) {
    const uint32_t middle = low + (high - low) / 2;
    TrlFirmwareGetSegment(middle, segmentAddress, segmentLength);
    if (*segmentAddress <= address) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  if (low == 0) {
    return NULL;
  }
  const uint8_t *data = TrlFirmwareGetSegment(low - 1, segmentAddress, segmentLength);
  return address - *segmentAddress < *segmentLength ? data : NULL;
}

/* The checker's read function over the loaded image. */
static const uint8_t *ReadImage(void *context, uint32_t address, uint32_t length) {
  (void)context;
  uint32_t segmentAddress = 0;
  uint32_t segmentLength = 0;
  const uint8_t *data = FindSegmentAt(address, &segmentAddress, &segmentLength);
  const uint32_t offset = address - segmentAddress;
  return data != NULL && length <= segmentLength - offset ? data + offset : NULL;
}

/* Room for a table at address: the rest of its segment, or 0 outside the image. */
static uint32_t MeasureRoomAt(uint32_t address) {
  uint32_t segmentAddress = 0;
  uint32_t segmentLength = 0;
  if (FindSegmentAt(address, &segmentAddress, &segmentLength) == NULL) {
    return 0;
  }
  return segmentLength - (address - segmentAddress);
}

static const char *DescribeHeaderFault(CitStatus status) {
  switch (status) {
    case CIT_STATUS_MAGIC_WRONG:
      return "the magic is wrong";
    case CIT_STATUS_LIST_CRC_WRONG:
      return "the list CRC does not match the entries";
    default:
      return "the image does not hold the whole table";
  }
}

/* Prints one line per entry and the summary; returns the exit code. */
static int ReportEntries(uint32_t entryCount) {
  printf("Checksum info table at 0x%08X, entry count %u\n", static_cast<unsigned>(tableAddress),
         static_cast<unsigned>(entryCount));
  printf("Entry  Address     Length      CRC     Result\n");
  uint32_t failedCount = 0;
  for (uint32_t index = 0; index < entryCount; ++index) {
    const CitEntryResult entry = CheckChecksumInfoTableEntry(ReadImage, NULL, tableAddress, index);
    printf("%5u  0x%08X  0x%08X  0x%04X  ", static_cast<unsigned>(index),
           static_cast<unsigned>(entry.segmentAddress), static_cast<unsigned>(entry.segmentLength),
           static_cast<unsigned>(entry.storedCrc));
    if (entry.status == CIT_STATUS_VALID) {
      printf("ok\n");
    } else if (entry.status == CIT_STATUS_ENTRY_CRC_WRONG) {
      printf("MISMATCH (image gives 0x%04X)\n", static_cast<unsigned>(entry.imageCrc));
    } else {
      printf("MISSING BYTES\n");
    }
    failedCount += entry.status == CIT_STATUS_VALID ? 0 : 1;
  }
  if (failedCount == 0) {
    printf("OK: %u of %u segments match the image\n", static_cast<unsigned>(entryCount),
           static_cast<unsigned>(entryCount));
    return RESULT_MATCH;
  }
  printf("FAILED: %u of %u segments do not match the image\n", static_cast<unsigned>(failedCount),
         static_cast<unsigned>(entryCount));
  return RESULT_MISMATCH;
}

int main(int argc, char *argv[]) {
  int result = RESULT_MATCH;
  TrlFirmwareInit(TRL_FILE_FORMAT_SREC);
  CitResult header = {};
  uint32_t status = TRL_OK;

  if (!ParseCommandLine(argc, argv)) {
    printf("[ERROR] Usage: Velcheck [-a<hex>] [-b<hex>] <image file>\n");
    result = RESULT_TROUBLE;
  } else if ((status = LoadImage()) != TRL_OK) {
    printf("[ERROR] Could not load the image file: %s.\n", TrlStatusText(status));
    result = RESULT_TROUBLE;
  } else if (tableAddressGiven) {
    header = CheckChecksumInfoTableHeader(ReadImage, NULL, tableAddress, MeasureRoomAt(tableAddress));
    if (header.status != CIT_STATUS_VALID) {
      printf("[ERROR] No checksum info table at 0x%08X: %s.\n", static_cast<unsigned>(tableAddress),
             DescribeHeaderFault(header.status));
      result = RESULT_TROUBLE;
    }
  } else if (!FindChecksumInfoTable(ReadImage, &tableAddress, &header)) {
    printf("[ERROR] No checksum info table found in the image.\n");
    result = RESULT_TROUBLE;
  }
  if (result == RESULT_MATCH) {
    result = ReportEntries(header.entryCount);
  }
  TrlFirmwareTerminate();
  return result;
}
