/* Rendered text gathered into large chunks before a writer gets it: one call per chunk, not per line. */
#ifndef TRELLAN_CHUNKED_OUTPUT_H
#define TRELLAN_CHUNKED_OUTPUT_H

#include <cstddef>
#include <cstdlib>

#include "image.h"

constexpr size_t OUTPUT_CHUNK_SIZE = size_t{1024} * 1024;

struct ChunkedOutput {
  char *chunk; /* OUTPUT_CHUNK_SIZE bytes, or null when out of memory */
  size_t used;
  TextWriter writer;
  void *context;
  bool failed;
};

inline ChunkedOutput StartChunkedOutput(TextWriter writer, void *context) {
  return ChunkedOutput{static_cast<char *>(std::malloc(OUTPUT_CHUNK_SIZE)), 0, writer, context, false};
}

inline void FlushChunk(ChunkedOutput *output) {
  if (output->used > 0 && !output->failed) {
    output->failed = !output->writer(output->context, output->chunk, output->used);
  }
  output->used = 0;
}

/* Room for a line of up to lineLength characters, flushing first if need be. */
inline char *ReserveLine(ChunkedOutput *output, size_t lineLength) {
  if (OUTPUT_CHUNK_SIZE - output->used < lineLength) {
    FlushChunk(output);
  }
  return output->chunk + output->used;
}

/* Flushes the rest and frees the chunk; the writer's verdict as a status. */
inline bool FinishChunkedOutput(ChunkedOutput *output) {
  FlushChunk(output);
  std::free(output->chunk);
  output->chunk = nullptr;
  return !output->failed;
}

#endif
