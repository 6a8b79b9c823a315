/*
 * A C program on libtrellan as others write one: linked by the C compiler's
 * driver, with C++ functions of its own named as the library's internal ones
 * (own_names.cpp), and with a shared library of its own that holds libtrellan too.
 */
#include <stdio.h>
#include <string.h>

#include "trellan.h"

int UseOwnNames(void);                                      /* own_names.cpp: 3 */
uint16_t SharedCrc16(const uint8_t *data, uint32_t length); /* shared_library.c */

int main(void) {
  static const uint8_t check[] = "123456789";
  static const char record[] = "S1050000AB014E\n";
  uint32_t address = 0;
  uint32_t length = 0;
  if (UseOwnNames() != 3) {
    printf("the program's own functions were not called\n");
    return 1;
  }
  if (TrlFirmwareInit(TRL_FILE_FORMAT_SREC) != TRL_OK ||
      TrlFirmwareLoadFromMemory(record, strlen(record), 0x100) != TRL_OK ||
      TrlFirmwareGetSegment(0, &address, &length) == NULL || address != 0x100 || length != 2) {
    printf("the image does not hold the loaded record\n");
    return 1;
  }
  TrlFirmwareTerminate();
  if (TrlUtilCrc16Calculate(check, 9) != 0x29B1 || SharedCrc16(check, 9) != 0x29B1) {
    printf("CRC: %04X here, %04X in the shared library\n", TrlUtilCrc16Calculate(check, 9),
           SharedCrc16(check, 9));
    return 1;
  }
  printf("libtrellan %s\n", TRL_VERSION_STRING);
  return 0;
}
