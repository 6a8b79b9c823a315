/*
 * Fuzz target: Velmark's command-line parsing over arbitrary argument lists.
 * The input is split at NUL bytes into arguments. The tool's main.cpp is
 * compiled into this file, its entry renamed, to reach its static parser.
 */
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#define main VelmarkMain
#include "../../Source/Velmark/main.cpp"
#undef main

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> arguments(1, "Velmark");
  std::string current;
  for (size_t index = 0; index < size && arguments.size() < 10; ++index) {
    if (data[index] == 0) {
      arguments.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[index]);
    }
  }
  arguments.push_back(current);
  std::vector<char *> argv;
  for (std::string &argument : arguments) {
    argv.push_back(&argument[0]);
  }
  argv.push_back(nullptr);
  const int argc = static_cast<int>(arguments.size());
  const bool usable = ParseCommandLine(argc, argv.data());
  if (usable && (tableBaseAddress == ADDRESS_NOT_GIVEN || inputFile != argv[argc - 2] ||
                 outputFile != argv[argc - 1])) {
    std::abort();
  }
  if (excludeRangeEnabled && excludeLength == 1) {
    std::abort(); /* start below end gives a length of at least 2, or 0 when it wraps */
  }
  if (!excludeRangeEnabled && (excludeStartAddress != 0 || excludeLength != 0)) {
    std::abort();
  }
  return 0;
}
