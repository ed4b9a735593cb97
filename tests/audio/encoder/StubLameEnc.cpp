// A stand-in encoder library that lacks one entry point, to see the loader
// report it. STUB_WITHOUT names the entry point left out.
#include "audio/encoder/LameEnc.h"

#define STUB_beInitStream 1
#define STUB_beEncodeChunk 2
#define STUB_beWriteInfoTag 3

extern "C" {

#if STUB_WITHOUT != STUB_beInitStream
BE_ERR beInitStream(BE_CONFIG*, std::uint32_t*, std::uint32_t*, HBE_STREAM*) { return BE_ERR_INVALID_FORMAT; }
#endif
#if STUB_WITHOUT != STUB_beEncodeChunk
BE_ERR beEncodeChunk(HBE_STREAM, std::uint32_t, std::int16_t*, std::uint8_t*, std::uint32_t*) {
  return BE_ERR_INVALID_HANDLE;
}
#endif
BE_ERR beDeinitStream(HBE_STREAM, std::uint8_t*, std::uint32_t*) { return BE_ERR_INVALID_HANDLE; }
BE_ERR beCloseStream(HBE_STREAM) { return BE_ERR_INVALID_HANDLE; }
void beVersion(BE_VERSION*) {}
BE_ERR beWriteVBRHeader(const char*) { return BE_ERR_INVALID_HANDLE; }
#if STUB_WITHOUT != STUB_beWriteInfoTag
BE_ERR beWriteInfoTag(HBE_STREAM, const char*) { return BE_ERR_INVALID_HANDLE; }
#endif
}
