/* The pcap capture file that Tervox writes, built so that a failed run never damages an existing file. */
#ifndef TERVOX_CAPTURE_FILE_H
#define TERVOX_CAPTURE_FILE_H

#include <pcap/pcap.h>

#include <string>

struct CaptureFile {
  pcap_t *deadHandle;
  pcap_dumper_t *dumper;
  std::string targetPath;  /* the name the user gave */
  std::string writePath;   /* where the packets go until the capture is complete */
  bool targetExisted;
  unsigned targetPermissions;
};

/*
 * Creates the capture: a dead Ethernet handle (snapshot length 65535) and a
 * dump handle. A regular file is written under a temporary name beside it;
 * a device or pipe is written directly. On failure prints nothing, leaves no
 * file and returns false with the reason in *reason.
 */
bool CreateCaptureFile(const char *path, CaptureFile *capture, std::string *reason);

/*
 * Closes both handles. With keep, the capture replaces the target if every
 * write succeeded; otherwise the temporary file is removed. Returns false if
 * a write failed (the capture is then removed, never left truncated).
 */
bool FinishCaptureFile(CaptureFile *capture, bool keep);

#endif
