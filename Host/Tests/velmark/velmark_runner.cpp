#include "velmark_runner.h"

#include <cstdlib>
#include <vector>

#include "srec_text.h"

bool VelmarkRunsUnderWine() {
  const char *override = std::getenv("VELMARK_COMMAND");
  return override != nullptr && std::string(override).find("wine") != std::string::npos;
}

std::string VelmarkCommandLine(const ScratchFolder &folder, const std::string &arguments,
                               const std::string &prefix) {
  const char *override = std::getenv("VELMARK_COMMAND");
  const std::string command = override != nullptr ? override : ShellQuote(VELMARK_PATH);
  return "cd " + ShellQuote(folder.root) + " && exec " + prefix + command + " " + arguments;
}

CommandResult RunVelmark(const ScratchFolder &folder, const std::string &arguments,
                         const std::string &prefix) {
  CommandResult result = RunCommand(VelmarkCommandLine(folder, arguments, prefix));
  if (VelmarkRunsUnderWine()) {
    /* A Windows console may turn "\n" into "\r\n"; nothing else may differ. */
    std::string text;
    for (char c : result.output) {
      if (c != '\r') text += c;
    }
    result.output = text;
  }
  return result;
}

std::string SampleImage() {
  std::string text = Srec('0', 0, {'d', 'e', 'm', 'o'});
  for (uint32_t offset = 0; offset < 0x100; offset += 32) {
    text += Srec('3', 0x08000000 + offset, Ramp(32, static_cast<uint8_t>(offset)));
  }
  text += Srec('3', 0x08000400, Ramp(0x30, 0x40));
  for (uint32_t offset = 0; offset < 0x200; offset += 32) {
    text += Srec('3', 0x08001000 + offset,
                 offset < 0x100 ? std::vector<uint8_t>(32, 0xFF) : Ramp(32, 0x11));
  }
  return text + Srec('7', 0x08000000);
}
