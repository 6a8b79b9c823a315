/* The firmware image as the library holds it, and the readers and writers over it. */
#ifndef TRELLAN_IMAGE_H
#define TRELLAN_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "elf_file.h"
#include "segment_store.h"

/* How far an Intel HEX record's 16-bit address reaches past its 02 or 04 record's base. */
constexpr uint32_t IHEX_WINDOW_SIZE = 0x10000;

struct FirmwareImage {
  SegmentStore store;
  bool hasHeader;
  uint16_t headerAddress;      /* address field of the first S0 met */
  std::vector<uint8_t> header; /* data field of the first S0 met */
  bool hasStartAddress;
  uint32_t startAddress;
  bool startIsSegmented;       /* from an Intel HEX 03 record: saved again as CS:IP */
  uint32_t startSegmentPointer; /* that record's CS (high half) and IP (low half) */
  uint32_t fileFormat;         /* TRL_FILE_FORMAT_* a save writes; clearing the data keeps it */
  ElfSource elf;               /* the ELF last loaded, which an ELF save writes over; clearing keeps it */
};

/* Drops the data, the header and the start address; the file format stays. */
void ImageClear(FirmwareImage *image);

/*
 * Reads S-records or Intel HEX, as the first record says, from an open stream
 * (binary mode) into an empty image, and sets the image's file format.
 */
uint32_t RecordReadStream(FILE *stream, uint32_t addressOffset, FirmwareImage *image);

/* As RecordReadStream(), from memory. */
uint32_t RecordReadMemory(const char *text, size_t length, uint32_t addressOffset,
                          FirmwareImage *image);

/* Reads raw bytes into an empty image, the first at baseAddress. */
uint32_t BinaryReadStream(FILE *stream, uint32_t baseAddress, FirmwareImage *image);
uint32_t BinaryReadMemory(const uint8_t *data, size_t length, uint32_t baseAddress,
                          FirmwareImage *image);

/*
 * Reads an ELF executable (the stream positioned at its start) into an empty
 * image: the file bytes of every allocated section at their load addresses.
 * fileName names the stream's file for the save; null when the stream is not
 * a regular file, which is then read whole and kept as a copy.
 */
uint32_t ElfReadStream(FILE *stream, const char *fileName, uint32_t addressOffset, FirmwareImage *image);

/* As ElfReadStream(), from memory; the image keeps a copy of the bytes. */
uint32_t ElfReadMemory(const uint8_t *data, size_t length, uint32_t addressOffset, FirmwareImage *image);

/*
 * TRL_OK when an ELF save can hold the bytes [address, address + length):
 * each lies in a loaded section's file bytes. Otherwise TRL_ERR_NO_SECTION.
 */
uint32_t CheckElfHolds(const FirmwareImage *image, uint32_t address, uint64_t length);

/* Receives the rendered text in pieces; returns false to stop with TRL_ERR_WRITE. */
typedef bool (*TextWriter)(void *context, const char *text, size_t length);

/*
 * Renders the image as S-record text and hands it to writer. Without a kept
 * header, the S0 holds defaultHeader.
 */
uint32_t SrecWriteImage(const FirmwareImage *image, const std::string &defaultHeader, TextWriter writer,
                        void *context);

/* Renders the image as Intel HEX text and hands it to writer. */
uint32_t IhexWriteImage(const FirmwareImage *image, TextWriter writer, void *context);

/*
 * Hands writer the ELF the image was loaded from, with the image's bytes at
 * the file offsets of the sections holding them.
 */
uint32_t ElfWriteImage(const FirmwareImage *image, TextWriter writer, void *context);

/* Renders the image in its file format; defaultHeader as for SrecWriteImage(). */
uint32_t WriteImage(const FirmwareImage *image, const std::string &defaultHeader, TextWriter writer,
                    void *context);

/* Saves the image, rendered in its file format, to fileName as TrlFirmwareSaveToFile() describes. */
uint32_t SaveImageToFile(const FirmwareImage *image, const char *fileName);

#endif
