/*
 * Velmark: adds a checksum info table to an S-record file (or an Intel HEX
 * file, or an ELF executable, written back as it came).
 *
 * The table lists every address segment of the image (base address, length,
 * CRC-16 of its bytes) under a header with a magic value, the segment count
 * and a CRC over the entries. It is inserted at the address given with -a.
 */
#include <algorithm>
#include <cassert>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>

#include "checksum_info_table.h"
#include "table_room.h"
#include "trellan.h"

/* Exit codes, one per kind of failure. */
enum {
  RESULT_OK = 0,
  RESULT_COMMAND_LINE = 1,
  RESULT_LOAD = 2,
  RESULT_SAVE = 3,
  RESULT_ALLOCATE = 4,
  RESULT_GENERATE = 5,
  RESULT_ADD = 6,
  RESULT_REMOVE = 7
};

static const uint32_t CHECKSUM_INFO_TABLE_MAGIC = 0x23AA5537;
static const uint32_t TABLE_HEADER_SIZE = 10;
static const uint32_t TABLE_ENTRY_SIZE = 10;
static const uint32_t ADDRESS_NOT_GIVEN = 0xFFFFFFFF;
/* More significant digits than this cannot be a 32-bit address. */
static const size_t MAX_ADDRESS_DIGITS = 8;

/* Settings, filled in by ParseCommandLine(); the names point into argv. */
static uint32_t tableBaseAddress;
static bool onlyOutputTable;
static bool excludeRangeEnabled;
static uint32_t excludeStartAddress;
static uint32_t excludeLength;
static const char *inputFile;
static const char *outputFile;

static uint8_t *tableDataPtr;

static void StoreLittleEndian(uint8_t *destination, uint32_t value, unsigned byteCount) {
  for (unsigned index = 0; index < byteCount; ++index) {
    destination[index] = static_cast<uint8_t>(value >> (8 * index));
  }
}

/*
 * Fills tableData (10 + 10 * segment count bytes) with the checksum info
 * table over the library's current segments. Returns the number of bytes
 * written, or 0 on failure.
 */
static uint32_t GenerateChecksumInfoTable(uint8_t *tableData) {
  assert(tableData != NULL);
  if (tableData == NULL) {
    return 0;
  }
  uint32_t writtenCount = 0;
  uint8_t *cursor = tableData + TABLE_HEADER_SIZE;
  for (uint32_t index = 0; index < TrlFirmwareGetSegmentCount(); ++index) {
    uint32_t segmentAddress = 0;
    uint32_t segmentSize = 0;
    const uint8_t *segmentData = TrlFirmwareGetSegment(index, &segmentAddress, &segmentSize);
    if (segmentData == NULL || segmentSize == 0) {
      writtenCount = 0;
      break;
    }
    uint16_t segmentCrc = TrlUtilCrc16Calculate(segmentData, segmentSize);
    StoreLittleEndian(cursor, segmentAddress, 4);
    StoreLittleEndian(cursor + 4, segmentSize, 4);
    StoreLittleEndian(cursor + 8, segmentCrc, 2);
    cursor += TABLE_ENTRY_SIZE;
    writtenCount += TABLE_ENTRY_SIZE;
  }
  if (writtenCount != TrlFirmwareGetSegmentCount() * TABLE_ENTRY_SIZE) {
    return 0;
  }
  uint16_t listCrc = TrlUtilCrc16Calculate(tableData + TABLE_HEADER_SIZE, writtenCount);
  StoreLittleEndian(tableData, CHECKSUM_INFO_TABLE_MAGIC, 4);
  /* Only the low byte of the count: the next three bytes are reserved, not its upper part. */
  StoreLittleEndian(tableData + 4, TrlFirmwareGetSegmentCount() & 0xFF, 1);
  StoreLittleEndian(tableData + 5, 0, 3);
  StoreLittleEndian(tableData + 8, listCrc, 2);
  return writtenCount + TABLE_HEADER_SIZE;
}

/*
 * True when a hexadecimal number in text has more significant digits than a
 * 32-bit value holds. The C runtimes disagree on how "%x" converts such a
 * number, so Velmark treats it as unreadable instead of keeping some part of it.
 */
static bool HasOverlongHexNumber(const char *text) {
  while (*text != '\0') {
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
      text += 2;
    }
    while (*text == '0') {
      ++text;
    }
    size_t digits = 0;
    while (isxdigit(static_cast<unsigned char>(*text))) {
      ++digits;
      ++text;
    }
    if (digits > MAX_ADDRESS_DIGITS) {
      return true;
    }
    if (digits == 0 && *text != '\0') {
      ++text;
    }
  }
  return false;
}

static bool IsFileNameArgument(const char *argument) {
  return argument[0] != '-' && strlen(argument) > 2;
}

static void ParseOption(const char *argument) {
  if (strcmp(argument, "-t") == 0) {
    onlyOutputTable = true;
  } else if (strstr(argument, "-a") != NULL && strlen(argument) > 2) {
    unsigned int address = 0;
    if (!HasOverlongHexNumber(&argument[2]) && sscanf(&argument[2], "%x", &address) == 1) {
      tableBaseAddress = address;
    }
  } else if (strstr(argument, "-x") != NULL && strlen(argument) >= 5) {
    unsigned int startAddr = 0;
    unsigned int endAddr = 0;
    if (!HasOverlongHexNumber(&argument[2])) {
      sscanf(&argument[2], "%x:%x", &startAddr, &endAddr);
    }
    if (startAddr < endAddr) {
      excludeRangeEnabled = true;
      excludeStartAddress = startAddr;
      /* From 0 to FFFFFFFF wraps to 0; the library refuses that length. */
      excludeLength = endAddr - startAddr + 1;
    }
  }
}

static bool ParseCommandLine(int argc, char *argv[]) {
  tableBaseAddress = ADDRESS_NOT_GIVEN;
  onlyOutputTable = false;
  excludeRangeEnabled = false;
  excludeStartAddress = 0;
  excludeLength = 0;
  inputFile = NULL;
  outputFile = NULL;

  assert(argv != NULL);
  if (argv == NULL) {
    return false;
  }
  if (argc < 4 || argc > 6) {
    return false;
  }
  if (IsFileNameArgument(argv[argc - 2])) {
    inputFile = argv[argc - 2];
  }
  if (IsFileNameArgument(argv[argc - 1])) {
    outputFile = argv[argc - 1];
  }
  for (int index = 1; index <= argc - 3; ++index) {
    ParseOption(argv[index]);
  }
  return tableBaseAddress != ADDRESS_NOT_GIVEN && inputFile != NULL && outputFile != NULL;
}

static void PrintRepeated(char character, int count) {
  for (int index = 0; index < count; ++index) {
    putchar(character);
  }
}

static void DisplayProgramInfo(void) {
  PrintRepeated('-', 74);
  printf("\n");
  printf("Velmark version " VELMARK_VERSION ". Adds a checksum info table to an S-record file.\n");
  printf("Made by the Velmark developers.\n");
  PrintRepeated('-', 73);
  printf("\n");
}

static void DisplayProgramUsage(void) {
  printf("Usage:    Velmark [options] [input file] [output file]\n");
  printf("\n");
  printf("Example:  Velmark -a0800C000 demoprog.srec demoprog_checksum.srec\n");
  printf("\n");
  printf("Available options:\n");
  printf("  -a[value]         Specifies the base address of where the checksum info\n");
  printf("                    table will be added. Specify the value as a 32-bit\n");
  printf("                    hexadecimal value.\n");
  printf("  -t                Only output the checksum info table into the output\n");
  printf("                    file.\n");
  printf("  -x[value]:[value] Specifies an address range that is to be excluded.\n");
  printf("                    The first value is the start address and the second\n");
  printf("                    value is the end address. Specify both addresses as\n");
  printf("                    32-bit hexadecimal values e.g. -x08000000:08000FFF.\n");
  printf("\n");
  PrintRepeated('-', 73);
  printf("\n");
}

/*
 * True when [tableBaseAddress, tableBaseAddress + tableSize) meets a segment
 * that the finished table describes: placing it there would change bytes
 * whose checksum it carries. Placing it over an excluded range is fine.
 */
static bool IsTableOverlappingDescribedSegments(const uint8_t *tableData, uint32_t tableSize) {
  const uint64_t tableStart = tableBaseAddress;
  const uint64_t tableEnd = tableStart + tableSize;
  for (uint32_t offset = TABLE_HEADER_SIZE; offset + TABLE_ENTRY_SIZE <= tableSize;
       offset += TABLE_ENTRY_SIZE) {
    const uint64_t segmentStart = ReadLittleEndian(tableData + offset, 4);
    const uint64_t segmentEnd = segmentStart + ReadLittleEndian(tableData + offset + 4, 4);
    if (segmentStart < tableEnd && tableStart < segmentEnd) {
      return true;
    }
  }
  return false;
}

/* Whether segment index exists and ends after address. */
static bool EndsAfter(uint32_t index, uint32_t address) {
  uint32_t segmentAddress = 0;
  uint32_t segmentSize = 0;
  return TrlFirmwareGetSegment(index, &segmentAddress, &segmentSize) != NULL &&
         static_cast<uint64_t>(segmentAddress) + segmentSize > address;
}

/*
 * The checker's read function over the held image. Bytes the image does not
 * hold read as erased flash (0xFF), as the placeholder reads on a device and
 * as objcopy --gap-fill 0xFF writes it.
 */
static int ReadHeldImage(void *context, uint32_t address, uint32_t length, uint8_t *buffer) {
  (void)context;
  /* Reads mostly go on where the last one ended: its segment is tried before a search. */
  static uint32_t lastIndex = 0;
  const uint32_t segmentCount = TrlFirmwareGetSegmentCount();
  uint32_t index = 0;
  if (!EndsAfter(lastIndex, address) || (lastIndex > 0 && EndsAfter(lastIndex - 1, address))) {
    /* The first segment that ends after address: segments ascend and never touch. */
    uint32_t high = segmentCount;
    while (index < high) {
      const uint32_t middle = index + (high - index) / 2;
      if (EndsAfter(middle, address)) {
        high = middle;
      } else {
        index = middle + 1;
      }
    }
  } else {
    index = lastIndex;
  }
  lastIndex = index;
  while (length != 0) {
    uint32_t segmentAddress = 0;
    uint32_t segmentSize = 0;
    const uint8_t *segmentData = index < segmentCount ? TrlFirmwareGetSegment(index, &segmentAddress, &segmentSize) : NULL;
    uint32_t chunk = length;
    if (segmentData == NULL || segmentAddress > address) {
      if (segmentData != NULL && segmentAddress - address < chunk) {
        chunk = segmentAddress - address;
      }
      memset(buffer, 0xFF, chunk);
    } else {
      const uint32_t offset = address - segmentAddress;
      if (segmentSize - offset < chunk) {
        chunk = segmentSize - offset;
      }
      memcpy(buffer, segmentData + offset, chunk);
      ++index;
    }
    buffer += chunk;
    address += chunk;
    length -= chunk;
  }
  return 1;
}

/*
 * The room the firmware gives the table: the rest of the -x range from the
 * table's address on when the table lies in it (its placeholder), otherwise
 * the table's own size.
 */
static uint32_t MeasurePlaceholderRoom(uint32_t tableSize) {
  const uint32_t offset = tableBaseAddress - excludeStartAddress;
  return excludeRangeEnabled && offset < excludeLength ? excludeLength - offset : tableSize;
}

/*
 * True when every reader reads the table just added as exactly the table
 * Velmark wrote: the firmware in its placeholder, and Velcheck, whose search
 * and -a read on through whatever follows the table in the saved image (or
 * in a read-back of flash, gaps erased). In each room the table must fit and
 * no other entry count that fits (the count byte holds only the low 8 bits)
 * may give the same list CRC.
 */
static bool IsTableReadAsWritten(uint32_t tableSize) {
  const uint32_t rooms[] = {
      MeasurePlaceholderRoom(tableSize),
      MeasureTableRoom(ReadHeldImage, NULL, tableBaseAddress, true).size,
      MeasureTableRoom(ReadHeldImage, NULL, tableBaseAddress, false).size,
  };
  for (size_t index = 0; index < sizeof rooms / sizeof rooms[0]; ++index) {
    const uint32_t room = rooms[index];
    if (std::find(rooms, rooms + index, room) != rooms + index) {
      continue; /* read so already */
    }
    const CitResult header = CheckChecksumInfoTableHeader(ReadHeldImage, NULL, tableBaseAddress, room);
    if (header.status != CIT_STATUS_VALID || header.entryCount != (tableSize - TABLE_HEADER_SIZE) / TABLE_ENTRY_SIZE) {
      return false;
    }
  }
  return true;
}

/* A pipe or a device gives its bytes once: a second load would wait forever or read nothing. */
static bool CanLoadAgain(const char *fileName) {
  struct stat status;
  return stat(fileName, &status) == 0 && (status.st_mode & S_IFMT) == S_IFREG;
}

/* Builds the table over the loaded image and puts it into the image. Returns an exit code. */
static int AddChecksumInfoTable(void) {
  int result = RESULT_OK;
  uint32_t tableSize = TrlFirmwareGetSegmentCount() * TABLE_ENTRY_SIZE + TABLE_HEADER_SIZE;
  tableDataPtr = static_cast<uint8_t *>(malloc(tableSize));
  assert(tableDataPtr != NULL);
  if (tableDataPtr == NULL) {
    printf("[ERROR] Could not allocate table data.\n");
    return RESULT_ALLOCATE;
  }
  if (GenerateChecksumInfoTable(tableDataPtr) != tableSize) {
    printf("[ERROR] Could not generate checksum info table.\n");
    result = RESULT_GENERATE;
  } else if (onlyOutputTable) {
    TrlFirmwareClearData();
    /* An ELF has no room for a table alone: it goes out as S-records. */
    if (TrlFirmwareGetFileFormat() == TRL_FILE_FORMAT_ELF) {
      TrlFirmwareSetFileFormat(TRL_FILE_FORMAT_SREC);
    }
  } else if (excludeRangeEnabled) {
    /* Reload so that the image regains the excluded bytes that the table leaves out. */
    TrlFirmwareClearData();
    if (!CanLoadAgain(inputFile) || TrlFirmwareLoadFromFile(inputFile, 0) != TRL_OK) {
      printf("[ERROR] Could not load the input file.\n");
      result = RESULT_LOAD;
    }
  }
  if (result == RESULT_OK) {
    if (IsTableOverlappingDescribedSegments(tableDataPtr, tableSize) ||
        TrlFirmwareAddData(tableBaseAddress, tableSize, tableDataPtr) != TRL_OK ||
        !IsTableReadAsWritten(tableSize)) {
      printf("[ERROR] Could not add the checksum info table data.\n");
      result = RESULT_ADD;
    } else if (TrlFirmwareCheckSaveRange(tableBaseAddress, tableSize) == TRL_ERR_NO_SECTION) {
      /* An ELF keeps only bytes that lie in its sections: say what the firmware's build must change. */
      printf("[ERROR] Could not add the checksum info table data.\n");
      printf("[ERROR] The ELF file has no section holding 0x%08X to 0x%08X: reserve one there for the table, "
             "such as a placeholder in the linker script.\n",
             static_cast<unsigned>(tableBaseAddress), static_cast<unsigned>(tableBaseAddress + tableSize - 1));
      result = RESULT_ADD;
    }
  }
  free(tableDataPtr);
  tableDataPtr = NULL;
  return result;
}

int main(int argc, char *argv[]) {
  int result = RESULT_OK;
  TrlFirmwareInit(TRL_FILE_FORMAT_SREC);

  if (!ParseCommandLine(argc, argv)) {
    DisplayProgramInfo();
    DisplayProgramUsage();
    printf("[ERROR] Incorrect command line parameters specified.\n");
    result = RESULT_COMMAND_LINE;
  }
  if (result == RESULT_OK && TrlFirmwareLoadFromFile(inputFile, 0) != TRL_OK) {
    printf("[ERROR] Could not load the input file.\n");
    result = RESULT_LOAD;
  }
  if (result == RESULT_OK && excludeRangeEnabled &&
      TrlFirmwareRemoveData(excludeStartAddress, excludeLength) != TRL_OK) {
    printf("[ERROR] Could not remove data that is to be excluded.\n");
    result = RESULT_REMOVE;
  }
  if (result == RESULT_OK) {
    result = AddChecksumInfoTable();
  }
  if (result == RESULT_OK && TrlFirmwareSaveToFile(outputFile) != TRL_OK) {
    printf("[ERROR] Could not save output file.\n");
    result = RESULT_SAVE;
  }
  TrlFirmwareTerminate();
  return result;
}
