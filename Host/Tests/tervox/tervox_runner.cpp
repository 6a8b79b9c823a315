#include "tervox_runner.h"

#include <pcap/pcap.h>

#include <cstdlib>

Packet MakePacket(uint32_t seconds, uint32_t microseconds, const std::vector<uint8_t> &bytes) {
  const auto length = static_cast<uint32_t>(bytes.size());
  return {seconds, microseconds, length, length, bytes};
}

std::vector<Packet> ReadCapture(const std::string &path) {
  char error[PCAP_ERRBUF_SIZE];
  pcap_t *capture = pcap_open_offline(path.c_str(), error);
  EXPECT_NE(nullptr, capture) << error;
  std::vector<Packet> packets;
  if (capture == nullptr) return packets;
  EXPECT_EQ(DLT_EN10MB, pcap_datalink(capture));
  EXPECT_EQ(65535, pcap_snapshot(capture));
  struct pcap_pkthdr *header;
  const u_char *data;
  int status;
  while ((status = pcap_next_ex(capture, &header, &data)) == 1) {
    packets.push_back({static_cast<uint32_t>(header->ts.tv_sec),
                       static_cast<uint32_t>(header->ts.tv_usec), header->caplen, header->len,
                       std::vector<uint8_t>(data, data + header->caplen)});
  }
  EXPECT_EQ(PCAP_ERROR_BREAK, status) << pcap_geterr(capture);
  pcap_close(capture);
  EXPECT_EQ(static_cast<int>(packets.size()), ClientPacketCount(path)) << path;
  return packets;
}

int ClientPacketCount(const std::string &path) {
  CommandResult result = RunCommand("capinfos -M -c " + ShellQuote(path) + " 2>&1");
  EXPECT_EQ(0, result.exitCode) << result.output;
  const std::string label = "Number of packets:";
  size_t at = result.output.find(label);
  if (at == std::string::npos) return -1;
  return std::stoi(result.output.substr(at + label.size()));
}

bool TervoxRunsUnderWine() { return ToolRunsUnderWine("TERVOX_COMMAND"); }

std::string TervoxCommandLine(const ScratchFolder &folder, const std::string &arguments,
                              const std::string &prefix) {
  return ToolCommandLine("TERVOX_COMMAND", TERVOX_PATH, folder.root, arguments, prefix);
}

CommandResult RunTervox(const ScratchFolder &folder, const std::string &arguments,
                        const std::string &prefix) {
  return RunTool("TERVOX_COMMAND", TERVOX_PATH, folder.root, arguments, prefix);
}

CommandResult TervoxTest::Run(const std::string &arguments) { return RunTervox(folder, arguments); }

std::string TervoxTest::Echo(const std::string &in, const std::string &out,
                             const std::string &size, const std::string &time,
                             const std::string &prefix) {
  const char *argv0 = std::getenv("TERVOX_ARGV0");
  std::string program = argv0 != nullptr ? argv0 : ToolProgramPath("TERVOX_COMMAND", TERVOX_PATH, prefix);
  if (program.empty()) {
    program = TERVOX_PATH;
  }
  return program + " [" + in + "] [" + out + "] [" + size + "] [" + time + "]\n";
}

std::string TervoxTest::BaseTimeLine(const std::string &glibcTime) {
  std::string rendered = glibcTime;
  if (TervoxRunsUnderWine() && rendered.size() > 8 && rendered[8] == ' ') {
    rendered[8] = '0';
  }
  return "Interpreted base time: " + rendered + "\n";
}
