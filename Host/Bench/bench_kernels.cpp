/* Google Benchmark kernels of libtrellan: CRC, S-record decoding and encoding, segment edits. */
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "trellan.h"

namespace {

std::vector<uint8_t> PseudoRandomBytes(size_t count) {
  std::vector<uint8_t> bytes(count);
  uint32_t state = 12345;
  for (auto &byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<uint8_t>(state >> 16);
  }
  return bytes;
}

/* S3 text of one segment of the given size at 0x08000000, as the library writes it. */
std::string MakeImageText(size_t imageBytes, uint32_t fileFormat) {
  std::vector<uint8_t> image = PseudoRandomBytes(imageBytes);
  TrlFirmwareInit(fileFormat);
  TrlFirmwareAddData(0x08000000, static_cast<uint32_t>(image.size()), image.data());
  size_t length = 0;
  TrlFirmwareSaveToMemory(nullptr, 0, &length);
  std::string text(length, '\0');
  TrlFirmwareSaveToMemory(&text[0], text.size(), &length);
  TrlFirmwareTerminate();
  return text;
}

void BM_Crc16(benchmark::State &state) {
  const std::vector<uint8_t> data = PseudoRandomBytes(64u << 20);
  for (auto _ : state) {
    benchmark::DoNotOptimize(TrlUtilCrc16Calculate(data.data(), static_cast<uint32_t>(data.size())));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_Crc16)->Unit(benchmark::kMillisecond);

void DecodeText(benchmark::State &state, uint32_t fileFormat) {
  const std::string text = MakeImageText(8u << 20, fileFormat);
  TrlFirmwareInit(TRL_FILE_FORMAT_SREC);
  for (auto _ : state) {
    TrlFirmwareClearData();
    if (TrlFirmwareLoadFromMemory(text.data(), text.size(), 0) != TRL_OK) {
      state.SkipWithError("load failed");
    }
  }
  TrlFirmwareTerminate();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
  state.counters["text_MB"] = static_cast<double>(text.size()) / 1e6;
}
void BM_SrecDecode(benchmark::State &state) { DecodeText(state, TRL_FILE_FORMAT_SREC); }
BENCHMARK(BM_SrecDecode)->Unit(benchmark::kMillisecond);
void BM_IhexDecode(benchmark::State &state) { DecodeText(state, TRL_FILE_FORMAT_IHEX); }
BENCHMARK(BM_IhexDecode)->Unit(benchmark::kMillisecond);

void EncodeText(benchmark::State &state, uint32_t fileFormat) {
  const std::string reference = MakeImageText(8u << 20, fileFormat);
  TrlFirmwareInit(fileFormat);
  TrlFirmwareLoadFromMemory(reference.data(), reference.size(), 0);
  std::string text(reference.size(), '\0');
  for (auto _ : state) {
    size_t length = 0;
    if (TrlFirmwareSaveToMemory(&text[0], text.size(), &length) != TRL_OK) {
      state.SkipWithError("save failed");
    }
  }
  TrlFirmwareTerminate();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
void BM_SrecEncode(benchmark::State &state) { EncodeText(state, TRL_FILE_FORMAT_SREC); }
BENCHMARK(BM_SrecEncode)->Unit(benchmark::kMillisecond);
void BM_IhexEncode(benchmark::State &state) { EncodeText(state, TRL_FILE_FORMAT_IHEX); }
BENCHMARK(BM_IhexEncode)->Unit(benchmark::kMillisecond);

/* 100000 separate 16-byte pieces, in ascending or in scattered address order. */
void BM_InsertSegments(benchmark::State &state) {
  const bool scattered = state.range(0) != 0;
  const std::vector<uint8_t> piece = PseudoRandomBytes(16);
  const uint32_t count = 100000;
  for (auto _ : state) {
    TrlFirmwareInit(TRL_FILE_FORMAT_SREC);
    for (uint32_t index = 0; index < count; ++index) {
      const uint32_t slot = scattered ? (index * 7919u) % count : index;
      TrlFirmwareAddData(0x08000000 + slot * 32, 16, piece.data());
    }
    benchmark::DoNotOptimize(TrlFirmwareGetSegmentCount());
    TrlFirmwareTerminate();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * count);
}
BENCHMARK(BM_InsertSegments)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

/* Cuts 10000 holes into one 16 MiB segment, splitting it each time. */
void BM_RemoveRanges(benchmark::State &state) {
  const std::vector<uint8_t> image = PseudoRandomBytes(16u << 20);
  const uint32_t holes = 10000;
  for (auto _ : state) {
    state.PauseTiming();
    TrlFirmwareInit(TRL_FILE_FORMAT_SREC);
    TrlFirmwareAddData(0x08000000, static_cast<uint32_t>(image.size()), image.data());
    state.ResumeTiming();
    for (uint32_t index = 0; index < holes; ++index) {
      TrlFirmwareRemoveData(0x08000000 + index * 1600, 16);
    }
    benchmark::DoNotOptimize(TrlFirmwareGetSegmentCount());
    state.PauseTiming();
    TrlFirmwareTerminate();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * holes);
}
BENCHMARK(BM_RemoveRanges)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
