#include "platform/Paths.h"

#include <unistd.h>

#include <cerrno>
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

std::string GetStartDir() {
  static const std::string dir = [] {
    std::vector<char> buf(4096);
    while (::getcwd(buf.data(), buf.size()) == nullptr) {
      if (errno != ERANGE) return std::string();
      buf.resize(buf.size() * 2);
    }
    return std::string(buf.data());
  }();
  return dir;
}

namespace {

// The variable's value made absolute; empty when unset, or when it is
// relative and the start directory is unknown.
std::string AbsoluteDirFrom(const char* name) {
  std::string dir = GetEnvOr(name, "");
  if (dir.empty() || dir.front() == '/') return dir;
  const std::string start = GetStartDir();
  if (start.empty()) return {};
  return start == "/" ? "/" + dir : start + "/" + dir;
}

std::string DirFrom(const char* name, const char* xdgName, const char* homeRelative) {
  for (const char* variable : {name, xdgName}) {
    std::string dir = AbsoluteDirFrom(variable);
    if (!dir.empty()) return dir;
  }
  std::string home = AbsoluteDirFrom("HOME");
  return (home.empty() ? std::string("/tmp") : home) + homeRelative;
}

}  // namespace

std::string GetAppDataDir() { return DirFrom("APPDATA", "XDG_DATA_HOME", "/.local/share"); }

std::string GetWindowsDir() { return DirFrom("WINDIR", "XDG_STATE_HOME", "/.local/state"); }

}  // namespace platform
