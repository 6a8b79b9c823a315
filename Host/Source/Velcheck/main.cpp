/*
 * Velcheck: checks an image (S-records, Intel HEX, an ELF executable or a raw
 * read-back) against the checksum info tables in it.
 *
 * Each table's header is read by the very checker that firmware runs at boot
 * (Target/Source/checksum-info-table), compiled into this tool, in the room a
 * device gives it, so that the host and the device cannot disagree about
 * which entries a table has.
 */
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "checksum_info_table.h"
#include "image_reader.h"
#include "table_room.h"
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

/* The image as the options say: raw bytes at the -b address, or S-records, Intel HEX or ELF. */
static uint32_t LoadImage(void) {
  return binaryImage ? TrlFirmwareLoadBinaryFromFile(imageFile, binaryBaseAddress)
                     : TrlFirmwareLoadFromFile(imageFile, 0);
}

/* Why the header at a table's address heads no table Velcheck can check, for its error line. */
static std::string DescribeHeaderFault(const CitResult &header, const TableRoom &room) {
  switch (header.status) {
    case CIT_STATUS_VALID:
      return "the table names no segment";
    case CIT_STATUS_MAGIC_WRONG:
      return "the magic is wrong";
    case CIT_STATUS_LIST_CRC_WRONG:
      return "the list CRC does not match the entries";
    case CIT_STATUS_COUNT_AMBIGUOUS:
      return "more than one entry count gives the list CRC";
    default:
      break;
  }
  /* An -a off the image, or a header cut short, is no table cut short. */
  if (room.size == 0) {
    return "the image holds no whole 10-byte header there";
  }
  /* The count's entries do not fit the room: say what ended it before them. */
  const std::string entry = "entry " + std::to_string(room.entryCount);
  switch (room.end) {
    case TABLE_ROOM_END_ERASED:
      return entry + " is erased (all 0xFF)";
    case TABLE_ROOM_END_EMPTY:
      return entry + " names no bytes";
    case TABLE_ROOM_END_PAST_TOP:
      return entry + " runs past 0xFFFFFFFF";
    case TABLE_ROOM_END_DESCENDING:
      return entry + " starts below the end of the entry before";
    default:
      return "the image does not hold the whole table";
  }
}

/* A header Velcheck checks the entries of: one count alone gives its list CRC, and it names segments. */
static bool IsCheckableTable(const CitResult &header) {
  return header.status == CIT_STATUS_VALID && header.entryCount > 0;
}

/*
 * Prints the table's entries, each with its result, and the summary; returns
 * the exit code. Each segment's CRC comes from the image's prefix CRCs, so
 * entries that name the same bytes again and again cost no more than others.
 */
static int ReportTable(uint32_t tableAddress, uint32_t entryCount) {
  printf("Checksum info table at 0x%08X, entry count %u\n", static_cast<unsigned>(tableAddress),
         static_cast<unsigned>(entryCount));
  printf("Entry  Address     Length      CRC     Result\n");
  uint32_t failedCount = 0;
  for (uint32_t index = 0; index < entryCount; ++index) {
    /* The header check read every entry of the count, so each is in the image. */
    uint8_t entry[CIT_ENTRY_SIZE] = {};
    ReadImage(NULL, tableAddress + CIT_HEADER_SIZE + CIT_ENTRY_SIZE * index, CIT_ENTRY_SIZE, entry);
    const uint32_t segmentAddress = ReadLittleEndian(entry, 4);
    const uint32_t segmentLength = ReadLittleEndian(entry + 4, 4);
    const uint16_t storedCrc = static_cast<uint16_t>(ReadLittleEndian(entry + 8, 2));
    uint16_t imageCrc = 0;
    const bool present = CalculateImageRangeCrc(segmentAddress, segmentLength, &imageCrc);
    printf("%5u  0x%08X  0x%08X  0x%04X  ", static_cast<unsigned>(index), static_cast<unsigned>(segmentAddress),
           static_cast<unsigned>(segmentLength), static_cast<unsigned>(storedCrc));
    if (!present) {
      printf("MISSING BYTES\n");
    } else if (imageCrc != storedCrc) {
      printf("MISMATCH (image gives 0x%04X)\n", static_cast<unsigned>(imageCrc));
    } else {
      printf("ok\n");
    }
    failedCount += present && imageCrc == storedCrc ? 0 : 1;
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

/* -a: the table at that address, whatever its entries name. */
static int CheckTableAt(uint32_t address) {
  const TableRoom room = MeasureTableRoom(ReadImage, NULL, address, false);
  const CitResult header = CheckChecksumInfoTableHeader(ReadImage, NULL, address, room.size);
  if (!IsCheckableTable(header)) {
    printf("[ERROR] No checksum info table at 0x%08X: %s.\n", static_cast<unsigned>(address),
           DescribeHeaderFault(header, room).c_str());
    return RESULT_TROUBLE;
  }
  return ReportTable(address, header.entryCount);
}

/* Every header the search finds, each printed; the worst outcome is the exit code. */
static int CheckEveryTableFound(void) {
  const std::vector<FoundHeader> headers = FindChecksumInfoTables();
  if (headers.empty()) {
    printf("[ERROR] No checksum info table found in the image.\n");
    return RESULT_TROUBLE;
  }
  int result = RESULT_MATCH;
  for (size_t index = 0; index < headers.size(); ++index) {
    if (index > 0) {
      printf("\n");
    }
    const FoundHeader &found = headers[index];
    int tableResult = RESULT_TROUBLE;
    if (IsCheckableTable(found.header)) {
      tableResult = ReportTable(found.address, found.header.entryCount);
    } else {
      printf("[ERROR] Checksum info table at 0x%08X: %s.\n", static_cast<unsigned>(found.address),
             DescribeHeaderFault(found.header, found.room).c_str());
    }
    result = std::max(result, tableResult);
  }
  return result;
}

/* --help and --version, each alone on the command line, print to stdout and succeed. */
static bool DisplayRequestedInformation(int argc, char *argv[]) {
  if (argv == NULL || argc != 2) {
    return false;
  }
  if (strcmp(argv[1], "--version") == 0) {
    printf("Velcheck %s\n", VELMARK_VERSION);
    return true;
  }
  if (strcmp(argv[1], "--help") == 0) {
    printf("Usage: Velcheck [-a<hex>] [-b<hex>] <image file>\n"
           "Checks an S-record, Intel HEX, ELF or raw image against the checksum info tables in it.\n"
           "  -a<hex>  check only the table at this address\n"
           "  -b<hex>  the image is raw bytes read back from a device, the first at this address\n"
           "Exit status: 0 every segment matches, 1 a segment does not, 2 a table is missing or damaged,\n"
           "or the image or command line cannot be used.\n");
    return true;
  }
  return false;
}

int main(int argc, char *argv[]) {
  if (DisplayRequestedInformation(argc, argv)) {
    return RESULT_MATCH;
  }
  int result = RESULT_MATCH;
  TrlFirmwareInit(TRL_FILE_FORMAT_SREC);
  uint32_t status = TRL_OK;

  if (!ParseCommandLine(argc, argv)) {
    printf("[ERROR] Usage: Velcheck [-a<hex>] [-b<hex>] <image file>\n");
    result = RESULT_TROUBLE;
  } else if ((status = LoadImage()) != TRL_OK) {
    printf("[ERROR] Could not load the image file: %s.\n", TrlStatusText(status));
    result = RESULT_TROUBLE;
  } else {
    IndexImage();
    result = tableAddressGiven ? CheckTableAt(tableAddress) : CheckEveryTableFound();
    ReleaseImageIndex();
  }
  TrlFirmwareTerminate();
  return result;
}
