/* Reports to the debugger or emulator that runs the firmware (semihosting). */
#ifndef SEMIHOSTING_H
#define SEMIHOSTING_H

/* Writes a NUL-terminated text to the host's console. */
void WriteSemihostingText(const char *text);

/* Ends the run with status as the host's exit status; never returns. */
void ExitSemihosting(int status) __attribute__((noreturn));

#endif /* SEMIHOSTING_H */
