/*
 * Tervox: converts a ring dump file (.prb) into a pcap capture of Ethernet
 * packets, each stamped with the base time plus the record's millisecond offset.
 */
#include <pcap/pcap.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "capture_file.h"
#include "ring_walk.h"

static const int RESULT_OK = 0;
static const int RESULT_ERROR = -1;

static const int64_t TIMESTAMP_LIMIT = 4294880895LL; /* 0xFFFFFFFF less one day */
static const uint16_t MIN_RING_KIB = 2;
static const uint16_t MAX_RING_KIB = 16;

/* Fixed buffers, reused for the whole run. */
static RingDump ringDump;
static uint8_t packetBuffer[PACKET_BUFFER_SIZE];

struct CaptureOutput {
  CaptureFile *capture;
  uint32_t baseTime;
};

/* strtol as a 32-bit long would read it: values beyond the range saturate, as on Windows. */
static int32_t ReadSignedDecimal32(const char *text) {
  long long value = strtoll(text, NULL, 10);
  if (value > INT32_MAX) {
    return INT32_MAX;
  }
  if (value < INT32_MIN) {
    return INT32_MIN;
  }
  return static_cast<int32_t>(value);
}

static void PrintInterpretedBaseTime(int64_t timestamp) {
  time_t baseTimeValue = static_cast<time_t>(timestamp);
  const char *rendered = NULL;
  if (static_cast<int64_t>(baseTimeValue) == timestamp) {
    rendered = ctime(&baseTimeValue);
  }
  if (rendered != NULL) {
    printf("Interpreted base time: %s", rendered);
  } else {
    printf("Interpreted base time: (not representable)\n");
  }
}

static void WriteCapturePacket(const RingRecord *record, void *context) {
  const CaptureOutput *output = static_cast<const CaptureOutput *>(context);
  struct pcap_pkthdr header;
  header.ts.tv_sec = static_cast<uint32_t>(output->baseTime + record->timeOffset / 1000);
  header.ts.tv_usec = static_cast<int>((record->timeOffset % 1000) * 1000);
  header.caplen = record->payloadLength;
  header.len = record->payloadLength;
  pcap_dump(reinterpret_cast<u_char *>(output->capture->dumper), &header, record->packetBuffer);
  output->capture->dumpedSize += CAPTURE_RECORD_HEADER_SIZE + header.caplen;
}

static void ReportWalkFailure(const WalkResult &walk, uint16_t endPosition) {
  if (walk.outcome == WALK_MALFORMED_RECORD) {
    printf("Error: malformed record at position %u: length field %u (must be 5 to %u)\n",
           static_cast<unsigned>(walk.position), static_cast<unsigned>(walk.lengthField),
           static_cast<unsigned>(PACKET_BUFFER_SIZE + MIN_LENGTH_FIELD));
  } else if (walk.outcome == WALK_BOUND_REACHED) {
    printf("Error: end position %u was never reached; walk stopped at position %u after %u "
           "bytes\n",
           static_cast<unsigned>(endPosition), static_cast<unsigned>(walk.position),
           static_cast<unsigned>(WALK_ADVANCE_LIMIT));
  }
}

int main(int argc, char *argv[]) {
  if (argc < 5) {
    printf("Error: not enough arguments\n");
    printf("Tervox.exe [input.prb] [output.pcap] [zelb kByte size : min 2, max 16] [timestamp]");
    return RESULT_ERROR;
  }
  printf("%s [%s] [%s] [%s] [%s]\n", argv[0], argv[1], argv[2], argv[3], argv[4]);

  uint16_t ringKib = static_cast<uint16_t>(ReadSignedDecimal32(argv[3]));
  if (static_cast<uint16_t>(ringKib - MIN_RING_KIB) > MAX_RING_KIB - MIN_RING_KIB) {
    printf("Error: zelb kByte size out of range!\n");
    printf("Tervox.exe [input.prb] [output.pcap] [zelb kByte size : min 2, max 16]");
    return RESULT_ERROR;
  }

  int64_t timestamp = strtoll(argv[4], NULL, 10);
  if (timestamp > TIMESTAMP_LIMIT) {
    printf("Warning: Time stamp input exceeds PCAP limits. Truncating to 32 bits!\n");
    timestamp = TIMESTAMP_LIMIT;
  }
  PrintInterpretedBaseTime(timestamp);
  CaptureOutput output = {NULL, static_cast<uint32_t>(timestamp)};

  uint16_t ringSize = static_cast<uint16_t>(ringKib * 1024);
  printf("zelb size %d\n", ringSize);

  CaptureFile capture;
  std::string reason;
  if (!CreateCaptureFile(argv[2], &capture, &reason)) {
    printf("Error: could not create capture file %s: %s\n", argv[2], reason.c_str());
    return RESULT_ERROR;
  }
  output.capture = &capture;

  int result = RESULT_OK;
  bool keepCapture = false;
  FILE *input = fopen(argv[1], "rb");
  if (input == NULL) {
    printf("Error opening input file %s\n", argv[1]);
    result = RESULT_ERROR;
  } else if (!ReadRingDump(input, ringSize, &ringDump)) {
    printf("Error: could not read input file %s\n", argv[1]);
    result = RESULT_ERROR;
  } else if (!StartCaptureFile(&capture, &reason)) {
    printf("Error: could not create capture file %s: %s\n", argv[2], reason.c_str());
    result = RESULT_ERROR;
  } else {
    WalkResult walk =
        WalkRingRecords(&ringDump, ringSize, packetBuffer, WriteCapturePacket, &output);
    ReportWalkFailure(walk, ringDump.endPosition);
    /* A walk cut short still keeps the packets written before the fault. */
    keepCapture = true;
    result = walk.outcome == WALK_END_REACHED ? RESULT_OK : RESULT_ERROR;
  }
  if (input != NULL) {
    fclose(input);
  }
  if (!FinishCaptureFile(&capture, keepCapture) && keepCapture) {
    printf("Error: could not write capture file %s\n", argv[2]);
    result = RESULT_ERROR;
  }
  return result;
}
