/* Running Velmark from the end-to-end tests. */
#ifndef VELMARK_RUNNER_H
#define VELMARK_RUNNER_H

#include <string>

#include "test_support.h"

/*
 * Runs Velmark inside folder with the given shell-safe arguments, after
 * prefix (e.g. setpriv ...). The environment variable VELMARK_COMMAND, when
 * set, replaces the built program, e.g. "valgrind -q /path/Velmark" or
 * "wine /path/Velmark.exe".
 */
CommandResult RunVelmark(const ScratchFolder &folder, const std::string &arguments,
                         const std::string &prefix = "");

/* The shell command line that RunVelmark runs. */
std::string VelmarkCommandLine(const ScratchFolder &folder, const std::string &arguments,
                               const std::string &prefix = "");

/* True when the tests run Velmark.exe under wine, where paths may use backslashes. */
bool VelmarkRunsUnderWine();

/* Three segments of S3 records; the third begins with a 0x100-byte placeholder of 0xFF. */
std::string SampleImage();

#endif
