#include "install/isal_decompressor.h"

#include <isa-l/igzip_lib.h>

#include <new>

#include "platform/file_system.h"
#include "platform/populated_memory.h"

lz_detail::IsalRun lz_detail::runIsal(PackageBytes& source, WriteFunction write, void* context) {
  IsalRun run;
  // The state holds the decoding tables and a window: too large for a
  // stack, and mapped whole like the buffers (its 85 KiB would otherwise
  // fault in page by page before the first piece comes out). A plain
  // structure: nothing to destroy.
  PopulatedMemory stateMemory(sizeof(inflate_state));
  inflate_state* state = new (stateMemory.data()) inflate_state;
  isal_inflate_init(state);
  state->crc_flag = ISAL_DEFLATE;  // raw DEFLATE, no wrapper
  PopulatedMemory buffer(LZCompressor::kBufferSize);

  uint64_t pieceEnd = 0;
  bool inputEnded = false;
  for (;;) {
    if (state->avail_in == 0 && !inputEnded) {
      const unsigned char* data = nullptr;
      size_t count = 0;
      run.code = source.next(data, count);
      if (run.code != 0) {
        run.end = kIsalFailed;
        return run;
      }
      state->next_in = const_cast<unsigned char*>(data);
      state->avail_in = static_cast<uint32_t>(count);
      pieceEnd += count;
      inputEnded = count == 0;
    }
    state->next_out = buffer.data();
    state->avail_out = LZCompressor::kBufferSize;
    int result = isal_inflate(state);
    unsigned produced = LZCompressor::kBufferSize - state->avail_out;
    source.consumed(pieceEnd - state->avail_in);
    if (produced != 0) {
      run.handedOut += produced;
      if (run.handedOut > LZCompressor::kMaxImageBytes) {
        run.end = kIsalFailed;
        run.code = ERROR_INVALID_DATA;
        return run;
      }
      run.code = write(context, buffer.data(), produced);
      if (run.code != 0) {
        run.end = kIsalFailed;
        return run;
      }
    }
    if (result < 0) {
      run.end = kIsalRefused;
      return run;
    }
    if (state->block_state == ISAL_BLOCK_FINISH) {
      run.end = kIsalEnded;
      return run;
    }
    if (state->avail_out != 0) {
      // Room left in the output: the input in hand is used up.
      if (state->avail_in != 0) {
        // No progress with input left: the inflater is stuck on it.
        run.end = kIsalRefused;
        return run;
      }
      if (inputEnded) {
        run.end = kIsalCutShort;
        return run;
      }
    }
  }
}

FsResult lz_detail::inflateWithIsal(PackageBytes& source, WriteFunction write, void* context) {
  IsalRun run = runIsal(source, write, context);
  switch (run.end) {
    case kIsalEnded:
    case kIsalCutShort:
      return 0;
    case kIsalRefused:
      return ERROR_INVALID_DATA;
    case kIsalFailed:
      break;
  }
  return run.code;
}
