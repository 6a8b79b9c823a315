/*
 * Checks the firmware's own flash against its checksum info table at reset
 * and reports the outcome through semihosting. Exit status: 0 when the table
 * is valid and every segment matches, 2 when there is no valid table, 16 + i
 * when entry i fails (its segment's CRC differs, or its bytes lie outside
 * flash), i counted up to 239 so that the status fits in 8 bits.
 */
#include <stdint.h>

#include "checksum_info_table.h"
#include "read_flash.h"
#include "semihosting.h"

#define STATUS_NO_VALID_TABLE 2
#define STATUS_FIRST_FAILED_ENTRY 16
#define STATUS_LAST_FAILED_ENTRY 255

/* In the segment after the table, so that a changed byte there shows in the report. */
const char boardName[] = BOARD_NAME;

static const char *const statusTexts[] = {
    "valid",     "magic wrong",   "list CRC wrong",       "table unreadable",
    "CRC wrong", "bytes missing", "entry count ambiguous",
};

static char *AppendText(char *cursor, const char *text) {
  while (*text != '\0') {
    *cursor++ = *text++;
  }
  *cursor = '\0';
  return cursor;
}

static char *AppendHex(char *cursor, uint32_t value, unsigned digits) {
  static const char hexDigits[] = "0123456789ABCDEF";
  cursor = AppendText(cursor, "0x");
  while (digits-- > 0) {
    *cursor++ = hexDigits[(value >> (4 * digits)) & 0xFu];
  }
  *cursor = '\0';
  return cursor;
}

static char *AppendDecimal(char *cursor, uint32_t value) {
  char digits[10];
  unsigned count = 0;
  do {
    digits[count++] = (char)('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) {
    *cursor++ = digits[--count];
  }
  *cursor = '\0';
  return cursor;
}

static const char *DescribeStatus(CitStatus status) {
  return (unsigned)status < sizeof statusTexts / sizeof statusTexts[0] ? statusTexts[status]
                                                                       : "unknown status";
}

int main(void) {
  char line[192];
  char *cursor = line;
  int status;
  const CitResult result = CheckChecksumInfoTable(ReadFlash, 0, TABLE_ADDRESS, TABLE_SIZE);

  cursor = AppendText(cursor, boardName);
  cursor = AppendText(cursor, ": checksum info table at ");
  cursor = AppendHex(cursor, TABLE_ADDRESS, 8);
  if (result.status == CIT_STATUS_VALID) {
    cursor = AppendText(cursor, ": valid, ");
    cursor = AppendDecimal(cursor, result.entryCount);
    cursor = AppendText(cursor, " entries match the flash\n");
    status = 0;
  } else if (result.status == CIT_STATUS_ENTRY_CRC_WRONG ||
             result.status == CIT_STATUS_ENTRY_BYTES_MISSING) {
    cursor = AppendText(cursor, ": entry ");
    cursor = AppendDecimal(cursor, result.failedIndex);
    cursor = AppendText(cursor, " of ");
    cursor = AppendDecimal(cursor, result.entryCount);
    cursor = AppendText(cursor, " fails: ");
    cursor = AppendText(cursor, DescribeStatus(result.status));
    if (result.status == CIT_STATUS_ENTRY_CRC_WRONG) {
      cursor = AppendText(cursor, " (flash gives ");
      cursor = AppendHex(cursor, result.imageCrc, 4);
      cursor = AppendText(cursor, ")");
    }
    cursor = AppendText(cursor, "\n");
    status = STATUS_FIRST_FAILED_ENTRY +
             (int)(result.failedIndex < STATUS_LAST_FAILED_ENTRY - STATUS_FIRST_FAILED_ENTRY
                       ? result.failedIndex
                       : STATUS_LAST_FAILED_ENTRY - STATUS_FIRST_FAILED_ENTRY);
  } else {
    cursor = AppendText(cursor, ": no valid table (");
    cursor = AppendText(cursor, DescribeStatus(result.status));
    cursor = AppendText(cursor, ")\n");
    status = STATUS_NO_VALID_TABLE;
  }
  WriteSemihostingText(line);
  return status;
}
