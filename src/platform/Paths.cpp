#include "platform/Paths.h"

#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace platform {

std::string GetEnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::string(value) : fallback;
}

std::string GetExePath() {
  std::vector<char> buf(4096);
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<std::size_t>(n));
    buf.resize(buf.size() * 2);
  }
}

std::string GetExeDir() {
  std::string path = GetExePath();
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string GetExeBaseName() {
  std::string path = GetExePath();
  return path.substr(path.rfind('/') + 1);
}

namespace {
std::string XdgDir(const char* xdgName, const char* homeRelative) {
  std::string dir = GetEnvOr(xdgName, "");
  if (!dir.empty()) return dir;
  return GetEnvOr("HOME", "/tmp") + homeRelative;
}
}  // namespace

std::string GetAppDataDir() {
  std::string dir = GetEnvOr("APPDATA", "");
  return dir.empty() ? XdgDir("XDG_DATA_HOME", "/.local/share") : dir;
}

std::string GetWindowsDir() {
  std::string dir = GetEnvOr("WINDIR", "");
  return dir.empty() ? XdgDir("XDG_STATE_HOME", "/.local/state") : dir;
}

}  // namespace platform
