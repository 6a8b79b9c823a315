#include "trellan.h"

const char *TrlStatusText(uint32_t status) {
  switch (status) {
#define TRL_STATUS_TEXT_CASE(name, value, text) \
  case value:                                   \
    return text;
    TRL_STATUS_LIST(TRL_STATUS_TEXT_CASE)
#undef TRL_STATUS_TEXT_CASE
    default:
      return "unknown status";
  }
}
