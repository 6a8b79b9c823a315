#include "capture_file.h"

#include <cstdio>
#include <cstring>

#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#endif

static const int LINKTYPE_ETHERNET = 1;
static const int SNAPSHOT_LENGTH = 65535;

/* Hands the stream to libpcap, which closes it with pcap_dump_close; on failure it is closed here. */
static pcap_dumper_t *OpenDumper(pcap_t *deadHandle, FILE *stream) {
#ifdef _WIN32
  /* wpcap.dll wraps a handle in a stream of its own runtime and closes that: give it its own handle. */
  HANDLE handle = NULL;
  const HANDLE process = GetCurrentProcess();
  const BOOL duplicated =
      DuplicateHandle(process, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), process,
                      &handle, 0, FALSE, DUPLICATE_SAME_ACCESS);
  fclose(stream);
  if (!duplicated) {
    return NULL;
  }
  pcap_dumper_t *dumper = pcap_dump_hopen(deadHandle, reinterpret_cast<intptr_t>(handle));
  if (dumper == NULL) {
    CloseHandle(handle);
  }
  return dumper;
#else
  pcap_dumper_t *dumper = pcap_dump_fopen(deadHandle, stream);
  if (dumper == NULL) {
    fclose(stream);
  }
  return dumper;
#endif
}

/* Opens both handles over the output's stream, which libpcap then owns (or which is closed here). */
static bool OpenDumpHandles(CaptureFile *capture, std::string *reason) {
  FILE *stream = capture->output.stream;
  capture->output.stream = NULL;
  capture->deadHandle = pcap_open_dead(LINKTYPE_ETHERNET, SNAPSHOT_LENGTH);
  if (capture->deadHandle == NULL) {
    fclose(stream);
    *reason = "out of memory";
    return false;
  }
  capture->dumper = OpenDumper(capture->deadHandle, stream);
  if (capture->dumper == NULL) {
    *reason = pcap_geterr(capture->deadHandle);
    pcap_close(capture->deadHandle);
    capture->deadHandle = NULL;
    return false;
  }
  return true;
}

bool CreateCaptureFile(const char *path, CaptureFile *capture, std::string *reason) {
  capture->deadHandle = NULL;
  capture->dumper = NULL;
  capture->dumpedSize = CAPTURE_FILE_HEADER_SIZE;
  const int error = OpenOutputFile(path, &capture->output);
  if (error != 0) {
    *reason = strerror(error);
    return false;
  }
  /* libpcap writes the file header at once: its handles wait for StartCaptureFile. */
  return true;
}

bool StartCaptureFile(CaptureFile *capture, std::string *reason) {
  const int error = StartOutputFile(&capture->output);
  if (error != 0) {
    *reason = strerror(error);
    return false;
  }
  return OpenDumpHandles(capture, reason);
}

/*
 * True when the file on disk holds every byte handed to libpcap. libpcap
 * ignores what fwrite returns, and on Windows its stream belongs to the DLL's
 * C runtime, which need not be ours: the file's size is the one check that
 * holds with any libpcap. Devices and pipes have no size to compare.
 */
static bool HoldsEveryDumpedByte(const CaptureFile *capture) {
  if (capture->output.route == OUTPUT_DIRECT) {
    return true;
  }
#ifdef _WIN32
  struct _stat64 status;
  if (_fstat64(capture->output.descriptor, &status) != 0) {
    return false;
  }
#else
  struct stat status;
  if (fstat(capture->output.descriptor, &status) != 0) {
    return false;
  }
#endif
  return static_cast<uint64_t>(status.st_size) == capture->dumpedSize;
}

bool FinishCaptureFile(CaptureFile *capture, bool keep) {
  if (capture->dumper == NULL) {
    if (capture->output.stream != NULL) {
      fclose(capture->output.stream);
    }
    AbandonOutputFile(&capture->output);
    return false;
  }
  bool written = pcap_dump_flush(capture->dumper) == 0;
#ifndef _WIN32
  /* libpcap drops writes silently once the disk is full: check the stream itself. */
  written = written && !ferror(pcap_dump_file(capture->dumper));
#endif
  pcap_close(capture->deadHandle);
  pcap_dump_close(capture->dumper);
  capture->deadHandle = NULL;
  capture->dumper = NULL;
  written = written && HoldsEveryDumpedByte(capture);
  if (keep && written) {
    written = CommitOutputFile(&capture->output) == 0;
  } else {
    AbandonOutputFile(&capture->output);
  }
  return written;
}
