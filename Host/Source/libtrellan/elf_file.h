/*
 * What the ELF reader and writer share. An ELF is saved by copying the file it
 * was loaded from and overlaying the image's bytes at the file offsets of the
 * sections that hold them, so the image keeps where each loaded byte came from
 * instead of the file itself.
 */
#ifndef TRELLAN_ELF_FILE_H
#define TRELLAN_ELF_FILE_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

/* The first bytes of every ELF file. */
constexpr uint8_t ELF_MAGIC[4] = {0x7F, 'E', 'L', 'F'};

/* File bytes [fileOffset, fileOffset + length) that load at address. */
struct ElfPiece {
  uint64_t fileOffset;
  uint32_t address;
  uint32_t length;
};

/* Enough of a file's state to tell that it was rewritten or replaced since. */
struct FileIdentity {
  uint64_t size;
  int64_t modified; /* nanoseconds where the system keeps them */
  uint64_t device;
  uint64_t inode;
};

struct ElfSource {
  bool held;                     /* an ELF was loaded: saves in TRL_FILE_FORMAT_ELF write over it */
  std::string fileName;          /* the file loaded, or empty for a load from memory */
  FileIdentity identity;         /* of that file at the load */
  std::vector<uint8_t> bytes;    /* a load from memory: its own copy */
  std::vector<ElfPiece> pieces;  /* every loaded section's bytes, ascending by file offset */
  std::vector<ElfPiece> loaded;  /* the addresses they reach, merged, ascending (fileOffset unused) */
  std::vector<ElfPiece> covered; /* as loaded, less the addresses tied to the ELF's own headers and name table */
  std::vector<ElfPiece> headers; /* those file bytes: ELF header, header tables, name table (address unused) */
  bool overlapping;              /* some piece's file bytes are another's or headers': the save checks them */
};

/* The addresses the pieces reach, merged into ascending disjoint runs (fileOffset unused). */
std::vector<ElfPiece> MergeCoverage(std::vector<ElfPiece> pieces);

/*
 * The addresses a save can change, of those the pieces reach (loaded, from
 * MergeCoverage()): all but those that header bytes load, and those tied to
 * them through file bytes that load at two addresses. *loadsHeaders: whether
 * some piece's file bytes are headers'.
 */
std::vector<ElfPiece> FindChangeableAddresses(const std::vector<ElfPiece> &pieces, const std::vector<ElfPiece> &headers,
                                              const std::vector<ElfPiece> &loaded, bool *loadsHeaders);

/* Moves stream to offset, which may lie past 2 GiB; false when it cannot. */
bool SeekFile(FILE *stream, uint64_t offset);

/* The identity of the open file behind stream; false when it cannot be read. */
bool ReadFileIdentity(FILE *stream, FileIdentity *identity);

#endif
