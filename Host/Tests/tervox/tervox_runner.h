/* Running Tervox from the end-to-end tests and reading its captures back. */
#ifndef TERVOX_RUNNER_H
#define TERVOX_RUNNER_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

struct Packet {
  uint32_t seconds; /* as the file stores it: unsigned 32-bit */
  uint32_t microseconds;
  uint32_t capturedLength;
  uint32_t originalLength;
  std::vector<uint8_t> bytes;
  bool operator==(const Packet &other) const {
    return seconds == other.seconds && microseconds == other.microseconds &&
           capturedLength == other.capturedLength && originalLength == other.originalLength &&
           bytes == other.bytes;
  }
};

Packet MakePacket(uint32_t seconds, uint32_t microseconds, const std::vector<uint8_t> &bytes);

/*
 * Reads a capture with libpcap's own reader; fails the test if it is not
 * Ethernet/65535, or if capinfos cannot read it or counts other packets.
 */
std::vector<Packet> ReadCapture(const std::string &path);

/* The packet count as a real client reads it: capinfos must take the file without error. */
int ClientPacketCount(const std::string &path);

/* True when the tests run Tervox.exe under wine (TERVOX_COMMAND names wine). */
bool TervoxRunsUnderWine();

/*
 * The shell command line that runs Tervox (TZ=UTC) in folder with the given
 * shell-safe arguments, after prefix (e.g. setpriv ...).
 */
std::string TervoxCommandLine(const ScratchFolder &folder, const std::string &arguments,
                              const std::string &prefix = "");

/* Runs that command line; under wine the console's CRs are dropped. */
CommandResult RunTervox(const ScratchFolder &folder, const std::string &arguments,
                        const std::string &prefix = "");

/*
 * Runs Tervox (TZ=UTC) in a scratch folder. TERVOX_COMMAND, when set, replaces
 * the built program, e.g. "valgrind -q /path/Tervox" or "wine /path/Tervox.exe".
 * TERVOX_ARGV0 names the argv[0] the program then sees if that is not the
 * path the command ends with, e.g. the Windows path that wine passes.
 */
class TervoxTest : public ::testing::Test {
 protected:
  CommandResult Run(const std::string &arguments);
  /* The echo line for these arguments, of a run after that prefix (as nobody: a copy's path). */
  static std::string Echo(const std::string &in, const std::string &out, const std::string &size,
                          const std::string &time, const std::string &prefix = "");
  /*
   * The base time line for a time in glibc's ctime form ("Thu Jan  1 00:00:00
   * 1970"); under wine in the Windows runtime's own form, the day zero-padded.
   */
  static std::string BaseTimeLine(const std::string &glibcTime);
  ScratchFolder folder;
};

#endif
