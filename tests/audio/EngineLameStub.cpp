// A stand-in encoder library for the engine's tests. Its chunk is 1152
// samples and its "MP3" output is the PCM it is given, byte for byte, so a
// test sees exactly which bytes were encoded and in what order;
// beDeinitStream appends kTail. Every call, and the library's loading and
// unloading, is appended as one line to the file TESSEL_LAME_STUB_LOG names.
// Read at each call:
//   TESSEL_LAME_STUB_FAIL_INIT=code    beInitStream returns code
//   TESSEL_LAME_STUB_FAIL_ENCODE=n     the nth beEncodeChunk of a stream returns 5
//   TESSEL_LAME_STUB_FAIL_DEINIT=code  beDeinitStream returns code
// STUB_WITHOUT names an entry point this build leaves out.
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "audio/encoder/LameEnc.h"

#define STUB_none 0
#define STUB_beWriteInfoTag 1
#define STUB_beCloseStream 2

namespace {

constexpr std::uint32_t kSamplesPerChunk = 1152;
constexpr std::uint32_t kOutputBufferSize = 2 * kSamplesPerChunk;
constexpr char kTail[] = "TAIL";
constexpr BE_ERR kEncodeFailure = BE_ERR_BUFFER_TOO_SMALL;
// The first stream's handle; a library that was really unloaded starts here again.
constexpr HBE_STREAM kFirstHandle = 41;

HBE_STREAM g_nextHandle = kFirstHandle;
unsigned g_encodeCalls = 0;

void Log(const char* format, ...) {
  const char* path = std::getenv("TESSEL_LAME_STUB_LOG");
  if (!path) return;
  std::FILE* log = std::fopen(path, "a");
  if (!log) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(log, format, args);
  va_end(args);
  std::fputc('\n', log);
  std::fclose(log);
}

unsigned long EnvNumber(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::strtoul(value, nullptr, 10) : 0;
}

// Whether this process holds the file open: the tag must go into a closed file.
bool IsOpenHere(const char* name) {
  char target[PATH_MAX];
  if (!::realpath(name, target)) return false;
  DIR* fds = ::opendir("/proc/self/fd");
  if (!fds) return false;
  bool open = false;
  while (dirent* entry = ::readdir(fds)) {
    char link[sizeof "/proc/self/fd/" + sizeof entry->d_name], path[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%s", entry->d_name);
    ssize_t n = ::readlink(link, path, sizeof path - 1);
    if (n <= 0) continue;
    path[n] = '\0';
    if (std::strcmp(path, target) == 0) open = true;
  }
  ::closedir(fds);
  return open;
}

long FileSize(const char* name) {
  struct stat st {};
  return ::stat(name, &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

__attribute__((constructor)) void OnLoad() { Log("load"); }
__attribute__((destructor)) void OnUnload() { Log("unload"); }

}  // namespace

extern "C" {

BE_ERR beInitStream(BE_CONFIG* pbeConfig, std::uint32_t* dwSamples, std::uint32_t* dwBufferSize,
                    HBE_STREAM* phbeStream) {
  char hex[2 * sizeof(BE_CONFIG) + 1];
  const auto* bytes = reinterpret_cast<const unsigned char*>(pbeConfig);
  for (std::size_t i = 0; i < sizeof(BE_CONFIG); ++i) std::snprintf(hex + 2 * i, 3, "%02x", bytes[i]);
  const BE_ERR failure = static_cast<BE_ERR>(EnvNumber("TESSEL_LAME_STUB_FAIL_INIT"));
  Log("beInitStream %s", hex);
  if (failure != BE_ERR_SUCCESSFUL) return failure;
  *dwSamples = kSamplesPerChunk;
  *dwBufferSize = kOutputBufferSize;
  *phbeStream = g_nextHandle++;
  g_encodeCalls = 0;
  return BE_ERR_SUCCESSFUL;
}

BE_ERR beEncodeChunk(HBE_STREAM hbeStream, std::uint32_t nSamples, std::int16_t* pSamples, std::uint8_t* pOutput,
                     std::uint32_t* pdwOutput) {
  Log("beEncodeChunk %u %u", hbeStream, nSamples);
  if (++g_encodeCalls == EnvNumber("TESSEL_LAME_STUB_FAIL_ENCODE")) return kEncodeFailure;
  if (2 * nSamples > kOutputBufferSize) return BE_ERR_BUFFER_TOO_SMALL;
  std::memcpy(pOutput, pSamples, 2 * nSamples);
  *pdwOutput = 2 * nSamples;
  return BE_ERR_SUCCESSFUL;
}

BE_ERR beDeinitStream(HBE_STREAM hbeStream, std::uint8_t* pOutput, std::uint32_t* pdwOutput) {
  Log("beDeinitStream %u", hbeStream);
  const BE_ERR failure = static_cast<BE_ERR>(EnvNumber("TESSEL_LAME_STUB_FAIL_DEINIT"));
  if (failure != BE_ERR_SUCCESSFUL) return failure;
  std::memcpy(pOutput, kTail, std::strlen(kTail));
  *pdwOutput = static_cast<std::uint32_t>(std::strlen(kTail));
  return BE_ERR_SUCCESSFUL;
}

#if STUB_WITHOUT != STUB_beCloseStream
BE_ERR beCloseStream(HBE_STREAM hbeStream) {
  Log("beCloseStream %u", hbeStream);
  return BE_ERR_SUCCESSFUL;
}
#endif

void beVersion(BE_VERSION* pbeVersion) {
  bool zeroed = true;
  const auto* bytes = reinterpret_cast<const unsigned char*>(pbeVersion);
  for (std::size_t i = 0; i < sizeof(BE_VERSION); ++i) zeroed = zeroed && bytes[i] == 0;
  Log("beVersion %s", zeroed ? "zeroed" : "dirty");
}

BE_ERR beWriteVBRHeader(const char* lpszFileName) {
  Log("beWriteVBRHeader %s %s %ld", lpszFileName, IsOpenHere(lpszFileName) ? "open" : "closed", FileSize(lpszFileName));
  return BE_ERR_SUCCESSFUL;
}

#if STUB_WITHOUT != STUB_beWriteInfoTag
BE_ERR beWriteInfoTag(HBE_STREAM hbeStream, const char* lpszFileName) {
  Log("beWriteInfoTag %u %s %s %ld", hbeStream, lpszFileName, IsOpenHere(lpszFileName) ? "open" : "closed",
      FileSize(lpszFileName));
  return BE_ERR_SUCCESSFUL;
}
#endif
}
