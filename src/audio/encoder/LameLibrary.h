#pragma once
// Owns the loaded encoder library (dlopen handle) and its resolved entry points.
#include <string>
#include <vector>

#include "audio/encoder/LameEnc.h"

// The seven entry points, in the engine's order; null when not resolved.
struct LameEntryPoints {
  BEINITSTREAM beInitStream = nullptr;
  BEENCODECHUNK beEncodeChunk = nullptr;
  BEDEINITSTREAM beDeinitStream = nullptr;
  BECLOSESTREAM beCloseStream = nullptr;
  BEVERSION beVersion = nullptr;
  BEWRITEVBRHEADER beWriteVBRHeader = nullptr;
  BEWRITEINFOTAG beWriteInfoTag = nullptr;  // optional
};

class CLameLibrary {
 public:
  CLameLibrary() = default;
  ~CLameLibrary();
  CLameLibrary(CLameLibrary&& other) noexcept;
  CLameLibrary& operator=(CLameLibrary&& other) noexcept;
  CLameLibrary(const CLameLibrary&) = delete;
  CLameLibrary& operator=(const CLameLibrary&) = delete;

  // Loads kLameLibraryFileName from the executable's directory, else through
  // the system's search path, and resolves the entry points. False only when
  // no library could be loaded; check HasRequiredEntryPoints() after.
  bool Load();
  // Loads exactly the library at path (a path with a '/'), or a bare file
  // name through the system's search path.
  bool LoadFrom(const std::string& path);
  // Frees the library; the entry points become null.
  void Unload();

  bool IsLoaded() const { return m_hDll != nullptr; }
  // All but beWriteInfoTag resolved.
  bool HasRequiredEntryPoints() const;
  // Names of the entry points that did not resolve, required and optional.
  std::vector<std::string> MissingEntryPoints() const;
  const LameEntryPoints& EntryPoints() const { return m_procs; }
  // The file actually loaded; empty when nothing is loaded.
  const std::string& Path() const { return m_strPath; }
  // Why the last Load/LoadFrom failed (the loader's own text).
  const std::string& Error() const { return m_strError; }

 private:
  void Resolve();

  void* m_hDll = nullptr;
  LameEntryPoints m_procs;
  std::string m_strPath;
  std::string m_strError;
};
