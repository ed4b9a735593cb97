#pragma once
// Where the Windows directories of the original live on this platform.
#include <string>

namespace platform {

// The running executable's full path, directory (no trailing separator)
// and file name.
std::string GetExePath();
std::string GetExeDir();
std::string GetExeBaseName();

// The current directory when this was first asked; the program asks at
// the very start. Empty when it could not be read.
std::string GetStartDir();

// Stands in for %APPDATA%: APPDATA when set, else XDG_DATA_HOME,
// else ~/.local/share.
std::string GetAppDataDir();
// Stands in for the Windows directory (run log): WINDIR when set, else
// XDG_STATE_HOME, else ~/.local/state.
// Both are absolute: a relative setting is taken against GetStartDir(), so
// the cache (which the program deletes whole at times) stays where it was
// put whatever the current directory is later.
std::string GetWindowsDir();

// The variable's value, or fallback when it is unset or empty.
std::string GetEnvOr(const char* name, const std::string& fallback);

}  // namespace platform
