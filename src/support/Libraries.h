#pragma once
// Process-wide set-up of the C libraries, done once at a program's start
// before any thread exists: curl_global_init must not race a thread that
// is creating a handle.
namespace support {

void InitLibraries();

}  // namespace support
