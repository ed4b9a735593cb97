#include "audio/encoder/LameLibrary.h"

#include <dlfcn.h>
#include <link.h>

#include <utility>

#include "platform/Paths.h"

namespace {

template <typename Proc>
void ResolveInto(void* hDll, const char* name, Proc& proc) {
  proc = reinterpret_cast<Proc>(::dlsym(hDll, name));
}

}  // namespace

CLameLibrary::~CLameLibrary() { Unload(); }

CLameLibrary::CLameLibrary(CLameLibrary&& other) noexcept
    : m_hDll(std::exchange(other.m_hDll, nullptr)),
      m_procs(std::exchange(other.m_procs, {})),
      m_strPath(std::move(other.m_strPath)),
      m_strError(std::move(other.m_strError)) {}

CLameLibrary& CLameLibrary::operator=(CLameLibrary&& other) noexcept {
  if (this != &other) {
    Unload();
    m_hDll = std::exchange(other.m_hDll, nullptr);
    m_procs = std::exchange(other.m_procs, {});
    m_strPath = std::move(other.m_strPath);
    m_strError = std::move(other.m_strError);
  }
  return *this;
}

bool CLameLibrary::Load() {
  // The copy next to the program wins over any installed one.
  const std::string exeDir = platform::GetExeDir();
  if (!exeDir.empty() && LoadFrom(exeDir + "/" + kLameLibraryFileName)) return true;
  const std::string besideExe = m_strError;
  if (LoadFrom(kLameLibraryFileName)) return true;
  if (!besideExe.empty()) m_strError = besideExe + "; " + m_strError;
  return false;
}

bool CLameLibrary::LoadFrom(const std::string& path) {
  Unload();
  m_strError.clear();
  ::dlerror();
  m_hDll = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!m_hDll) {
    const char* why = ::dlerror();
    m_strError = why ? why : path + ": cannot be loaded";
    return false;
  }
  // Where a bare name was found on the search path.
  m_strPath = path;
  link_map* map = nullptr;
  if (::dlinfo(m_hDll, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name && *map->l_name) m_strPath = map->l_name;
  Resolve();
  return true;
}

void CLameLibrary::Unload() {
  if (m_hDll) ::dlclose(m_hDll);
  m_hDll = nullptr;
  m_procs = {};
  m_strPath.clear();
}

void CLameLibrary::Resolve() {
  ResolveInto(m_hDll, "beInitStream", m_procs.beInitStream);
  ResolveInto(m_hDll, "beEncodeChunk", m_procs.beEncodeChunk);
  ResolveInto(m_hDll, "beDeinitStream", m_procs.beDeinitStream);
  ResolveInto(m_hDll, "beCloseStream", m_procs.beCloseStream);
  ResolveInto(m_hDll, "beVersion", m_procs.beVersion);
  ResolveInto(m_hDll, "beWriteVBRHeader", m_procs.beWriteVBRHeader);
  ResolveInto(m_hDll, "beWriteInfoTag", m_procs.beWriteInfoTag);
}

bool CLameLibrary::HasRequiredEntryPoints() const {
  return m_procs.beInitStream && m_procs.beEncodeChunk && m_procs.beDeinitStream && m_procs.beCloseStream &&
         m_procs.beVersion && m_procs.beWriteVBRHeader;
}

std::vector<std::string> CLameLibrary::MissingEntryPoints() const {
  std::vector<std::string> missing;
  if (!IsLoaded()) return missing;
  if (!m_procs.beInitStream) missing.emplace_back("beInitStream");
  if (!m_procs.beEncodeChunk) missing.emplace_back("beEncodeChunk");
  if (!m_procs.beDeinitStream) missing.emplace_back("beDeinitStream");
  if (!m_procs.beCloseStream) missing.emplace_back("beCloseStream");
  if (!m_procs.beVersion) missing.emplace_back("beVersion");
  if (!m_procs.beWriteVBRHeader) missing.emplace_back("beWriteVBRHeader");
  if (!m_procs.beWriteInfoTag) missing.emplace_back("beWriteInfoTag");
  return missing;
}
