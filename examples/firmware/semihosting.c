#include "semihosting.h"

#include <stdint.h>

#define SEMIHOSTING_WRITE0 0x04
#define SEMIHOSTING_EXIT_EXTENDED 0x20
#define SEMIHOSTING_APPLICATION_EXIT 0x20026u

static void CallSemihosting(int operation, const void *argument) {
  register int r0 __asm__("r0") = operation;
  register const void *r1 __asm__("r1") = argument;
  __asm__ volatile("bkpt 0xAB" : "+r"(r0) : "r"(r1) : "memory");
}

void WriteSemihostingText(const char *text) {
  CallSemihosting(SEMIHOSTING_WRITE0, text);
}

void ExitSemihosting(int status) {
  /* The extended exit carries the status; the plain one on 32-bit ARM cannot. */
  const uint32_t block[2] = {SEMIHOSTING_APPLICATION_EXIT, (uint32_t)status};
  CallSemihosting(SEMIHOSTING_EXIT_EXTENDED, block);
  for (;;) {
  }
}
