/*
 * Runs the checker on a target: built with a cross compiler for Linux and run
 * under qemu-user by scripts/target.sh. Checks the table in a flat binary
 * image (the bytes from base address on) and prints the outcome.
 * Usage: check_image IMAGE.bin BASE TABLE RESERVED   (numbers in hex)
 */
#include <stdio.h>
#include <stdlib.h>

#include "checksum_info_table.h"

typedef struct {
  uint32_t base;
  const uint8_t *bytes;
  uint32_t size;
} FlatImage;

static int ReadFlatImage(void *context, uint32_t address, uint32_t length, uint8_t *buffer) {
  const FlatImage *image = (const FlatImage *)context;
  uint32_t index;
  if (address < image->base || address - image->base > image->size ||
      length > image->size - (address - image->base)) {
    return 0;
  }
  for (index = 0; index < length; ++index) {
    buffer[index] = image->bytes[address - image->base + index];
  }
  return 1;
}

int main(int argc, char *argv[]) {
  static uint8_t bytes[1u << 20];
  const uint16_t byteOrderProbe = 1;
  FlatImage image;
  FILE *file;
  CitResult result;

  if (argc != 5 || (file = fopen(argv[1], "rb")) == NULL) {
    printf("usage: check_image IMAGE.bin BASE TABLE RESERVED\n");
    return 2;
  }
  image.base = (uint32_t)strtoul(argv[2], NULL, 16);
  image.bytes = bytes;
  image.size = (uint32_t)fread(bytes, 1, sizeof bytes, file);
  fclose(file);
  result = CheckChecksumInfoTable(ReadFlatImage, &image, (uint32_t)strtoul(argv[3], NULL, 16),
                                  (uint32_t)strtoul(argv[4], NULL, 16));
  printf("%s-endian: status %d, entry count %lu, failed index %lu, image CRC 0x%04X\n",
         *(const uint8_t *)&byteOrderProbe == 1 ? "little" : "big", (int)result.status,
         (unsigned long)result.entryCount, (unsigned long)result.failedIndex, (unsigned)result.imageCrc);
  return result.status == CIT_STATUS_VALID ? 0 : 1;
}
