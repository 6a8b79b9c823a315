/* libtrellan inside a shared library: it links only if the archive is position independent. */
#include "trellan.h"

uint16_t SharedCrc16(const uint8_t *data, uint32_t length) {
  return TrlUtilCrc16Calculate(data, length);
}
