// The movie's calls: any movie's invoke document, read as the command bridge
// reads it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "host/CommandBridge.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
  const host::CMovieCall call = host::ReadMovieCall(std::string(reinterpret_cast<const char*>(pData), nSize));
  // Arguments are read for an upload only.
  if (call.command != host::ECommand::RecUpload && !(call.strUid + call.strTid + call.strEnglish).empty())
    __builtin_trap();
  return 0;
}
