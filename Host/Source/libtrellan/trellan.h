/*
 * libtrellan - firmware data library.
 *
 * Holds a firmware image as a set of segments (contiguous runs of bytes at
 * 32-bit addresses), loads and saves it as Motorola S-record or Intel HEX
 * text or as the ELF executable it came from, loads raw binary read-backs, edits it and computes the CRC-16 used by
 * the checksum info table.
 *
 * The library keeps one image in module state: call TrlFirmwareInit() first
 * and TrlFirmwareTerminate() last. It is single-threaded, never prints and
 * never exits; every operation that can fail returns a status from the list
 * below, 0 meaning success.
 */
#ifndef TRELLAN_H
#define TRELLAN_H

#include <stddef.h>
#include <stdint.h>

/* The library's version; TRL_VERSION_NUMBER compares as a number (1.3.1 gives 10301). */
#define TRL_VERSION_MAJOR 1
#define TRL_VERSION_MINOR 3
#define TRL_VERSION_PATCH 1
#define TRL_VERSION_STRING "1.3.1"
#define TRL_VERSION_NUMBER (TRL_VERSION_MAJOR * 10000 + TRL_VERSION_MINOR * 100 + TRL_VERSION_PATCH)

/*
 * TRL_API marks what the library exports: trellan.dll's exports (imported by
 * programs using it, unless they define TRELLAN_STATIC to link the archive);
 * elsewhere the only names visible, as the library is built with hidden
 * visibility.
 */
#if defined(_WIN32) && defined(TRELLAN_BUILDING)
#define TRL_API __declspec(dllexport)
#elif defined(_WIN32) && !defined(TRELLAN_STATIC)
#define TRL_API __declspec(dllimport)
#elif defined(__GNUC__)
#define TRL_API __attribute__((visibility("default")))
#else
#define TRL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Status codes. The values are pinned: callers and scripts may store them.
 * X(name, value, description)
 */
#define TRL_STATUS_LIST(X)                                                            \
  X(TRL_OK, 0, "success")                                                             \
  X(TRL_ERR_OPEN, 1, "the file cannot be opened or read")                             \
  X(TRL_ERR_SYNTAX, 2, "a line is not a well-formed record")                          \
  X(TRL_ERR_CHECKSUM, 3, "a record's checksum does not match its bytes")              \
  X(TRL_ERR_RECORD_TYPE, 4, "a record type that an image file must not hold")         \
  X(TRL_ERR_COUNT, 5, "a count record disagrees with the data records before it")     \
  X(TRL_ERR_CONFLICT, 6, "one address is given two different values")                 \
  X(TRL_ERR_OVERFLOW, 7, "data run past address 0xFFFFFFFF")                          \
  X(TRL_ERR_EMPTY, 8, "the input holds no record at all")                             \
  X(TRL_ERR_WRITE, 9, "the output cannot be written completely")                      \
  X(TRL_ERR_ARGUMENT, 10, "an argument is out of range or null")                      \
  X(TRL_ERR_MEMORY, 11, "out of memory")                                              \
  X(TRL_ERR_STATE, 12, "the library is not initialised")                              \
  X(TRL_ERR_MIXED_FORMATS, 13, "the input mixes S-records and Intel HEX records")      \
  X(TRL_ERR_WINDOW, 14, "a data record runs past the end of its 64 KiB window")        \
  X(TRL_ERR_ELF, 15, "the ELF file is truncated or malformed")                         \
  X(TRL_ERR_NOT_EXECUTABLE, 16, "an object file, not a linked executable")             \
  X(TRL_ERR_NO_SECTION, 17, "image bytes lie in no section of the ELF file")           \
  X(TRL_ERR_ELF_CHANGED, 18, "the ELF file changed since it was loaded")

/* The list's entries each end in a comma; TRL_STATUS_LIST_END, which no call
   returns, closes it, as C89 and C++98 allow no comma before the brace. */
#define TRL_STATUS_ENUM_ENTRY(name, value, text) name = value,
enum TrlStatusCode { TRL_STATUS_LIST(TRL_STATUS_ENUM_ENTRY) TRL_STATUS_LIST_END = 0x7FFFFFFF };
#undef TRL_STATUS_ENUM_ENTRY

/* Returns a constant English description of a status; unknown values give "unknown status". */
TRL_API const char *TrlStatusText(uint32_t status);

/* File formats: what a save writes. */
#define TRL_FILE_FORMAT_SREC 0u /* Motorola S-records */
#define TRL_FILE_FORMAT_IHEX 1u /* Intel HEX */
#define TRL_FILE_FORMAT_ELF 2u  /* the ELF executable last loaded, with the image's bytes in its sections */

/*
 * Prepares an empty image whose saves write fileFormat until a load says
 * otherwise. Calling it again drops whatever the image held.
 * Returns TRL_ERR_ARGUMENT for an unknown format, and for
 * TRL_FILE_FORMAT_ELF: an ELF is only ever saved over one that was loaded.
 */
TRL_API uint32_t TrlFirmwareInit(uint32_t fileFormat);

/*
 * The format that saves write: the one given to TrlFirmwareInit(), or the
 * format of the last file that TrlFirmwareLoadFromFile() or
 * TrlFirmwareLoadFromMemory() loaded; TrlFirmwareClearData() keeps it, so an
 * image rebuilt from scratch goes out as its input came in.
 * TrlFirmwareSetFileFormat() chooses another (TRL_ERR_ARGUMENT for an unknown
 * one, and for TRL_FILE_FORMAT_ELF while no ELF was loaded since the Init).
 * The getter gives TRL_FILE_FORMAT_SREC when not initialised.
 */
TRL_API uint32_t TrlFirmwareGetFileFormat(void);
TRL_API uint32_t TrlFirmwareSetFileFormat(uint32_t fileFormat);

/* Drops the image and releases all memory. Other calls then fail with TRL_ERR_STATE until the next Init. */
TRL_API uint32_t TrlFirmwareTerminate(void);

/*
 * Loads an S-record, Intel HEX or ELF file and adds its data to the image.
 * The first bytes tell the format (7F 45 4C 46 for ELF, else a line starting
 * with S or with a colon), never the file's name; a file holding both kinds of
 * record is refused.
 *
 * S-records: accepts S0 (header: the first one met is kept, its data and address
 * field), S1/S2/S3 (data), S5/S6 (count of the data records since the last
 * header, count or termination record; checked), S7/S8/S9 (start address: the
 * first one met is kept).
 *
 * Intel HEX: accepts 00 (data), 01 (end of file; a file joined after it
 * starts again without an extended address), 02 (extended segment address:
 * the value times 16 is added to later data addresses) and 04 (extended
 * linear address: the value times 65536), the later of the two counting;
 * 03 (start segment address, CS * 16 + IP) and 05 (start linear address),
 * the first met kept, an 03 as CS:IP for the save. No header. Under an 04
 * a data record may run past the end of its 64 KiB window into the next, as
 * linear addresses do; under an 02, or before any 02 or 04, it may not.
 *
 * Both: lines may end in LF, CRLF or a lone CR, hex digits may be either
 * case, blank lines and trailing white space of any length are skipped, and
 * one DOS end-of-file byte (0x1A) may end the text, followed by nothing but
 * line ends and white space; several files joined end to end
 * load as their union. addressOffset is added to every address, the start
 * address included (an 03 start then becomes a linear one).
 *
 * Data records may come in any order and may overlap or repeat: the load
 * takes O(n log n) time for n records and copies each byte a bounded number
 * of times. Records in ascending order are the direct, fastest path; those
 * out of order wait in a stage of 4 MiB and, whenever it fills, go to their
 * place in pages of 1 KiB in address order, so the data are held once in any
 * order, plus the stage (at most 8 MiB with the order of its records) and at
 * most a byte in eight for the pages' bookkeeping (records scattered so thinly that pages would hold more than
 * 64 MiB at under one byte in eight go to runs instead, which cost their
 * bytes twice and 16 bytes a record at the end of the load). Memory reserved
 * ahead follows the data the records held so far, not the size of the file.
 * Loading into an image that holds data merges the two once.
 *
 * Fails with TRL_ERR_OPEN (cannot open or read), TRL_ERR_EMPTY (no record),
 * TRL_ERR_SYNTAX (a line that is not a well-formed record: not starting with S
 * or a colon, not hex, a byte count that does not match the line, an 01 with
 * data, an 02/04 without two bytes or an 03/05 without four),
 * TRL_ERR_CHECKSUM, TRL_ERR_RECORD_TYPE (S4, or an Intel HEX type above 05),
 * TRL_ERR_COUNT, TRL_ERR_OVERFLOW (an address past 0xFFFFFFFF),
 * TRL_ERR_WINDOW (an Intel HEX data record running past the end of its
 * 64 KiB window other than under an 04: readers differ on whether it wraps),
 * TRL_ERR_MIXED_FORMATS,
 * TRL_ERR_CONFLICT (one address given two different values, in the file or
 * against data already held) or TRL_ERR_MEMORY. On failure the image, and
 * the format it saves in, are exactly as they were before the call.
 *
 * ELF: ELF32 and ELF64 of either byte order and any machine, executables
 * (ET_EXEC and ET_DYN). The image gets what a flash programmer writes: the
 * file bytes of every section that is allocated, not SHT_NOBITS and not
 * empty, at its load address, that is the physical address of the load
 * segment holding those file bytes plus the section's offset in it (the
 * virtual address where every load segment's physical address is 0; the
 * section's own address where no load segment holds it). Without section
 * headers the load segments' file bytes are taken. The entry point becomes
 * the start address; there is no header. The ELF becomes the file that ELF
 * saves write over (replacing one loaded before), so a file read here must
 * not change before that save. Fails as above, or with TRL_ERR_ELF
 * (truncated; a header, table, section or segment past the end of the file;
 * a section name past the end of its string table; sections holding more
 * bytes than the file), TRL_ERR_NOT_EXECUTABLE (ET_REL or ET_CORE),
 * TRL_ERR_OVERFLOW (an address past 0xFFFFFFFF), TRL_ERR_EMPTY (no such
 * bytes) or TRL_ERR_CONFLICT (two sections giving one address different
 * bytes; two load segments writing one address; a section in no load segment
 * at an address a load segment writes or clears). Section bytes are read from the file straight
 * into the image: the file is not held in memory besides, unless it is a pipe
 * or a device, which is read whole and kept.
 */
TRL_API uint32_t TrlFirmwareLoadFromFile(const char *fileName, uint32_t addressOffset);

/*
 * As TrlFirmwareLoadFromFile(), from text in memory (length bytes; no
 * terminating NUL needed), or from an ELF in memory, of which the image keeps
 * a copy for an ELF save.
 */
TRL_API uint32_t TrlFirmwareLoadFromMemory(const void *text, size_t length, uint32_t addressOffset);

/*
 * Loads a file's raw bytes, as read back from a device, the first at
 * baseAddress, and adds them to the image. The file format that saves write
 * stays as it was. Fails with TRL_ERR_OPEN, TRL_ERR_EMPTY (no byte),
 * TRL_ERR_OVERFLOW (past 0xFFFFFFFF), TRL_ERR_CONFLICT (against data already
 * held) or TRL_ERR_MEMORY; the image is then as it was.
 */
TRL_API uint32_t TrlFirmwareLoadBinaryFromFile(const char *fileName, uint32_t baseAddress);

/* As TrlFirmwareLoadBinaryFromFile(), from length bytes in memory. */
TRL_API uint32_t TrlFirmwareLoadBinaryFromMemory(const void *data, size_t length, uint32_t baseAddress);

/*
 * Saves the whole image in its file format (see TrlFirmwareGetFileFormat()).
 *
 * S-records: one data record type for the whole file (S1, S2 or S3: the smallest that
 * holds both the highest data address and the start address), 32 data bytes
 * per record, records never crossing a segment's end. The file holds an S0
 * header, the data, an S5 count record (S6 above 65535 data records; none
 * above 16777215) and the termination record S9/S8/S7 with the kept start
 * address or 0. Upper-case hex, LF line ends. The S0 is the kept header; when
 * none was loaded, it holds the file name's last component (at most the 252
 * bytes an S0 holds), as strict readers expect a header. The image itself
 * still holds no header afterwards.
 *
 * Intel HEX: 16 data bytes per record, records never crossing a segment's
 * end or a 64 KiB boundary; an 04 record wherever the upper 16 address bits
 * change (none while they are 0), never an 02; then the kept start address
 * (an 03 with CS:IP where one was loaded, otherwise an 05; none when none is
 * held) and the 01 record. No header. Upper-case hex, LF line ends.
 *
 * ELF: the ELF last loaded, byte for byte, except that every byte the image
 * holds is written at the file offset(s) of the loaded section(s) that hold
 * its address; bytes the image lacks (removed ones) keep the file's value.
 * The file loaded is read again, in blocks, as the output is written, so the
 * output may be that file. Fails with TRL_ERR_NO_SECTION, before anything is
 * written, when the image holds a byte that lies in no loaded section's file
 * bytes (see TrlFirmwareCheckSaveRange()), with TRL_ERR_CONFLICT when the
 * image gives file bytes that load at two addresses two different values,
 * and with TRL_ERR_ELF_CHANGED when the file loaded was changed, replaced or
 * removed since the load.
 *
 * Where the file goes:
 * - A regular file (new, or one this user may write) is written to a
 *   temporary file of mode 0600 in the same folder, created exclusively under
 *   an unpredictable name, and renamed over the target only once it is
 *   complete, so a failed save leaves the target untouched and no partial
 *   file; the target may be the file that was loaded. The result gets the
 *   target's mode, and its owner and group where the process may give them
 *   (set-id bits only where they were kept); a new file gets 0666 less the
 *   umask.
 * - A regular file that this user may write but not replace (a folder they
 *   cannot write, a sticky folder owned by another, a file that is a mount
 *   point) is emptied and written in place once the text is ready; only then
 *   can a failure leave a partial file.
 * - A file this user may not write (as the system decides for the effective
 *   IDs; the read-only attribute on Windows) and a folder are refused.
 * - /dev/stdout, /dev/stderr, /dev/fd/N and /proc/self/fd/N, however spelled
 *   (a name whose folder resolves to /dev or to this process's fd folder),
 *   are written through that open descriptor (stdout is flushed first),
 *   never reopened; a device or a pipe is opened and written directly.
 * - Symbolic links are followed (at most 40) to the file they name, which is
 *   created when missing; the links stay. A link in a sticky folder anyone
 *   may write (/tmp) is followed only if it is this user's or the folder
 *   owner's, whatever the system's own setting for that rule.
 * - The save never holds descriptor 0, 1 or 2, so a caller started with one
 *   of them closed cannot read or print into the output.
 *
 * While the temporary file exists, SIGINT, SIGTERM, SIGHUP, SIGXFSZ and
 * SIGXCPU (Ctrl-C and Ctrl-Break on a Windows console) are caught: the
 * handler removes the file, restores the caller's own action and raises the
 * signal again. Signals that were ignored stay ignored; the previous actions
 * return when the save ends.
 * The file is not synced: the save survives the process dying, not a power loss.
 * Fails with TRL_ERR_WRITE, TRL_ERR_ARGUMENT (null or empty name), TRL_ERR_MEMORY,
 * or for ELF as said above (also TRL_ERR_OPEN when the file loaded cannot be read).
 */
TRL_API uint32_t TrlFirmwareSaveToFile(const char *fileName);

/*
 * Renders the image as TrlFirmwareSaveToFile() would write it, except that
 * without a kept header the S0 is empty (there is no file name); for ELF, the
 * file's bytes. The full length is always stored in *textLength; the bytes
 * themselves are stored in buffer only when
 * bufferSize is at least that length (no NUL is added). Fails with
 * TRL_ERR_ARGUMENT when textLength is null or the buffer is too small, or for
 * ELF as TrlFirmwareSaveToFile() does.
 */
TRL_API uint32_t TrlFirmwareSaveToMemory(char *buffer, size_t bufferSize, size_t *textLength);

/*
 * Whether a save in the image's file format can hold bytes at [address,
 * address + length), so that a caller can place data where a save will keep
 * it before anything is saved. TRL_OK for S-records and Intel HEX; for ELF,
 * TRL_OK only when every one of those addresses lies in the file bytes of a
 * section the ELF was loaded with, otherwise TRL_ERR_NO_SECTION (an ELF has no
 * room for bytes outside its sections: the linker must reserve one there).
 * The ELF header, the header tables and the section name table never count
 * as section bytes, even where a load segment holds them: a save fails with
 * TRL_ERR_NO_SECTION if the image changed any of them. Nor do the addresses
 * they load at, or those tied to them by file bytes that load at both.
 * Fails with TRL_ERR_STATE, TRL_ERR_ARGUMENT (length 0) or TRL_ERR_OVERFLOW
 * (past 0xFFFFFFFF).
 */
TRL_API uint32_t TrlFirmwareCheckSaveRange(uint32_t address, uint32_t length);

/* Number of segments held; 0 when not initialised. */
TRL_API uint32_t TrlFirmwareGetSegmentCount(void);

/*
 * Gives segment index (0 = lowest address; segments ascend, never touch and
 * are never empty). Fills *address and *length and returns the segment's
 * bytes, valid until the next call that changes the image. Returns null for
 * an index out of range or a null result pointer.
 */
TRL_API const uint8_t *TrlFirmwareGetSegment(uint32_t index, uint32_t *address, uint32_t *length);

/*
 * Copies length bytes to the image at address. Where they overlap data
 * already held the new bytes win; adjacent data merge into one segment.
 * data must not point into the image itself (it may move while growing).
 * Fails with TRL_ERR_ARGUMENT (length 0 or null data), TRL_ERR_OVERFLOW
 * (the range runs past 0xFFFFFFFF) or TRL_ERR_MEMORY.
 */
TRL_API uint32_t TrlFirmwareAddData(uint32_t address, uint32_t length, const uint8_t *data);

/*
 * Removes the bytes of [address, address + length) from the image, splitting
 * segments as needed. A range that holds no data succeeds.
 * Fails with TRL_ERR_ARGUMENT (length 0), TRL_ERR_OVERFLOW (past 0xFFFFFFFF)
 * or TRL_ERR_MEMORY.
 */
TRL_API uint32_t TrlFirmwareRemoveData(uint32_t address, uint32_t length);

/*
 * Drops all segments, the header and the start address; the file format that
 * saves write stays, and so does the ELF an ELF save writes over.
 */
TRL_API uint32_t TrlFirmwareClearData(void);

/*
 * The kept S0 header bytes (the record's data field; its address field is
 * kept too and saved again). Returns null with *length 0 when no header is held.
 */
TRL_API const uint8_t *TrlFirmwareGetHeader(uint32_t *length);

/* Stores the kept start address in *address and returns 1, or returns 0 when none is held. */
TRL_API uint32_t TrlFirmwareGetStartAddress(uint32_t *address);

/*
 * CRC-16/CCITT-FALSE: polynomial 0x1021, initial value 0xFFFF, no
 * reflection, no final XOR ("123456789" gives 0x29B1). Zero bytes give
 * 0xFFFF. data may be null only when length is 0.
 */
TRL_API uint16_t TrlUtilCrc16Calculate(const uint8_t *data, uint32_t length);

#ifdef __cplusplus
}
#endif

#endif /* TRELLAN_H */
