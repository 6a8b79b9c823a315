/*
 * Writing an output file so that nothing can subvert it: a failed or
 * interrupted save never damages what was there, and no planted link,
 * swapped folder or leftover file redirects or blocks it. libtrellan and
 * Tervox each keep a copy of this module; a test keeps the two identical but
 * for the temporary files' names. output_file_posix.cpp and
 * output_file_win32.cpp implement it, each for its platform.
 */
#ifndef OUTPUT_FILE_H
#define OUTPUT_FILE_H

#include <cstdio>
#include <string>

enum OutputRoute {
  OUTPUT_TEMPORARY,  /* a temporary file in the target's folder, renamed over it when complete */
  OUTPUT_IN_PLACE,   /* a regular file we may not replace: the bytes are staged, then copied into it whole */
  OUTPUT_DIRECT      /* a device, a pipe or an open descriptor: written as it is */
};

struct OutputFile {
  FILE *stream = nullptr;              /* where the caller writes; the caller closes it (fclose, pcap_dump_close) before Commit or Abandon */
  int descriptor = -1;                 /* the file the stream writes into (temporary, staging or direct), open until Commit or Abandon */
  OutputRoute route = OUTPUT_TEMPORARY;
  int folder = -1;                     /* Unix: the target's folder, held open; every later step is relative to it */
  std::string name;                    /* the target: its last name component in folder (Unix), its whole path (Windows) */
  bool targetExists = false;
  int targetHandle = -1;               /* Unix: a hold on the existing target, to read its mode, owner and ACL */
  bool unnamed = false;                /* Unix: the temporary file has no name until it is complete */
};

/*
 * Opens path for writing. Names of an open descriptor (/dev/stdout,
 * /dev/stderr, /dev/fd/N, /proc/self/fd/N, or a link to one) are written
 * through that descriptor, however the name is spelled; symbolic links are
 * followed, also to a file that does not exist yet, except a link in a sticky
 * folder anyone may write that is neither ours nor the folder owner's
 * (EACCES); a regular file that this user may not write, and a folder, are
 * refused. The descriptors held are never 0, 1 or 2, even when the process
 * started with one of them closed. A temporary file that has a name while it
 * is written is removed by any signal whose default action ends the process
 * (Ctrl-C on a Windows console); only one output may be open at a time.
 * Returns 0, or an errno value.
 */
int OpenOutputFile(const char *path, OutputFile *output);

/*
 * Call just before the first byte is written. Nothing is written to the
 * target before Commit on any route but OUTPUT_DIRECT, so a caller that fails
 * first (its input cannot be read) leaves it untouched. Returns 0, or an
 * errno value.
 */
int StartOutputFile(OutputFile *output);

/*
 * Completes the output once the caller has closed output->stream with every
 * byte written: gives a temporary file the target's owner, group, mode and ACL
 * (or, for a new file, what a plain create there gives) and renames it into
 * place; where owner and group cannot both be given, where the system refuses
 * the rename, or for OUTPUT_IN_PLACE, copies the complete bytes into the
 * target under an advisory lock, with fatal signals held. Returns 0, or an
 * errno value after removing the temporary file (the target is then
 * untouched unless the copy into it failed part way).
 */
int CommitOutputFile(OutputFile *output);

/* Gives up the output after the caller closed output->stream: a temporary file is removed. */
void AbandonOutputFile(OutputFile *output);

#endif
