#include "velmark_runner.h"

#include <vector>

#include "srec_text.h"

bool VelmarkRunsUnderWine() { return ToolRunsUnderWine("VELMARK_COMMAND"); }

std::string VelmarkCommandLine(const ScratchFolder &folder, const std::string &arguments,
                               const std::string &prefix) {
  return ToolCommandLine("VELMARK_COMMAND", VELMARK_PATH, folder.root, arguments, prefix);
}

CommandResult RunVelmark(const ScratchFolder &folder, const std::string &arguments,
                         const std::string &prefix) {
  return RunTool("VELMARK_COMMAND", VELMARK_PATH, folder.root, arguments, prefix);
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
