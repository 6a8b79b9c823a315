/* Vector table and reset: set up RAM, run main, report its status and stop. */
#include <stdint.h>

#include "semihosting.h"

/* Defined by firmware.ld. */
extern uint32_t __data_start[], __data_end[], __data_load[];
extern uint32_t __bss_start[], __bss_end[];
extern uint32_t __stack_top[];

int main(void);

#define FAULT_STATUS 3

void ResetHandler(void) {
  uint32_t *source = __data_load;
  uint32_t *target;
  for (target = __data_start; target < __data_end; ++target) {
    *target = *source++;
  }
  for (target = __bss_start; target < __bss_end; ++target) {
    *target = 0;
  }
  ExitSemihosting(main());
}

static void HandleFault(void) {
  WriteSemihostingText("fault\n");
  ExitSemihosting(FAULT_STATUS);
}

/* Entries 7 to 10 and 13 are reserved: never read by the core. */
__attribute__((section(".vectors"), used)) void (*const vectorTable[16])(void) = {
    (void (*)(void))__stack_top,
    ResetHandler,
    HandleFault, /* NMI */
    HandleFault, /* hard fault */
    HandleFault, /* memory management fault */
    HandleFault, /* bus fault */
    HandleFault, /* usage fault */
    0, 0, 0, 0,
    HandleFault, /* SVCall */
    HandleFault, /* debug monitor */
    0,
    HandleFault, /* PendSV */
    HandleFault, /* SysTick */
};
