/* The pcap capture file that Tervox writes, built so that a failed run never damages an existing file. */
#ifndef TERVOX_CAPTURE_FILE_H
#define TERVOX_CAPTURE_FILE_H

#include <pcap/pcap.h>

#include <cstdint>
#include <string>

#include "output_file.h"

/* What a savefile holds in front of the packets, and in front of each packet's bytes. */
constexpr uint64_t CAPTURE_FILE_HEADER_SIZE = 24;
constexpr uint64_t CAPTURE_RECORD_HEADER_SIZE = 16;

struct CaptureFile {
  pcap_t *deadHandle;
  pcap_dumper_t *dumper;
  OutputFile output;
  uint64_t dumpedSize; /* the file header and every packet handed to pcap_dump */
};

/*
 * Opens the capture's output as output_file.h does for path; nothing is
 * written to it (a file written in place stays exactly as it was, a device
 * or descriptor gets nothing) until StartCaptureFile. On failure prints
 * nothing, leaves no file and returns false with the reason in *reason.
 */
bool CreateCaptureFile(const char *path, CaptureFile *capture, std::string *reason);

/*
 * Call once the input has been read: empties a file written in place, then
 * opens a dead Ethernet handle (snapshot length 65535) and a dump handle over
 * the output's stream, which writes the file header. On failure returns false
 * with the reason in *reason; FinishCaptureFile still closes the capture.
 */
bool StartCaptureFile(CaptureFile *capture, std::string *reason);

/*
 * Closes both handles. With keep, the capture replaces the target if every
 * write succeeded (a file on disk must then hold dumpedSize bytes); otherwise a temporary file is removed. Returns false if
 * a write failed (the capture is then removed, never left truncated, unless
 * it was written in place or directly) or if the capture was never started.
 */
bool FinishCaptureFile(CaptureFile *capture, bool keep);

#endif
