/*
 * Writing an output file so that nothing can subvert it: a failed or
 * interrupted save never damages what was there, and no planted link or
 * leftover file redirects or blocks it. Tervox has a module of the same shape.
 */
#ifndef TRELLAN_OUTPUT_FILE_H
#define TRELLAN_OUTPUT_FILE_H

#include <cstdio>
#include <string>

enum OutputRoute {
  OUTPUT_TEMPORARY,  /* a temporary file beside the target, renamed over it when complete */
  OUTPUT_IN_PLACE,   /* a regular file we may not replace (the folder's rules, a mount point): emptied when writing starts */
  OUTPUT_DIRECT      /* a device, a pipe or an open descriptor: written as it is */
};

struct OutputFile {
  FILE *stream;       /* where the caller writes; the caller closes it (fclose) before Commit or Abandon */
  int descriptor;     /* our own hold on the file, open until Commit or Abandon */
  OutputRoute route;
  std::string target; /* the file that the temporary one replaces, links resolved */
  bool targetExists;
  unsigned targetMode; /* permission bits the result gets */
  unsigned targetOwner;
  unsigned targetGroup;
};

/*
 * Opens path for writing. Names of an open descriptor (/dev/stdout,
 * /dev/stderr, /dev/fd/N, /proc/self/fd/N, or a link to one) are written
 * through that descriptor, however the name is spelled; symbolic links are
 * followed, also to a file that does not exist yet, except a link in a sticky
 * folder anyone may write that is neither ours nor the folder owner's
 * (EACCES); a regular file that this user may not write, and a folder, are
 * refused. The descriptors held are never 0, 1 or 2, even when the process
 * started with one of them closed. While a temporary file exists, SIGINT,
 * SIGTERM, SIGHUP, SIGXFSZ and SIGXCPU (Ctrl-C on a Windows console) remove
 * it before the process ends; only one output may be open at a time.
 * Returns 0, or an errno value.
 */
int OpenOutputFile(const char *path, OutputFile *output);

/*
 * Call just before the first byte is written: empties a file written in
 * place, which until then is exactly as it was, so that a caller that fails
 * first (its input cannot be read) leaves it untouched. Nothing to do for the
 * other routes. Returns 0, or an errno value.
 */
int StartOutputFile(OutputFile *output);

/*
 * Completes the output once the caller has closed output->stream with every
 * byte written: gives a temporary file the target's mode (and owner, where
 * allowed) and renames it into place. Returns 0, or an errno value after
 * removing the temporary file (the target is then untouched).
 */
int CommitOutputFile(OutputFile *output);

/* Gives up the output after the caller closed output->stream: a temporary file is removed. */
void AbandonOutputFile(OutputFile *output);

#endif
