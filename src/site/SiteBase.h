#pragma once
// The places course files come from: the product web site, or a copy of it
// on disk (a folder, or a ZIP archive read member by member). Each brings one
// file of the site into a local file as the fetch does: through a temporary
// file and a rename, so that a failure leaves the local file as it was.
#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "site/Fetch.h"

class CSiteBase {
 public:
  virtual ~CSiteBase() = default;
  // Brings strPath (below the site, without leading '/', query included)
  // into strLocalPath. True when the local file was written. Safe to call
  // from several threads at once.
  virtual bool Fetch(const std::string& strPath, const std::string& strLocalPath,
                     const CFetchSettings& settings) const = 0;
  // Why the base cannot serve anything now; empty when it can.
  virtual std::string Problem() const = 0;
  // The base as it was given.
  const std::string& Text() const { return m_strText; }

 protected:
  explicit CSiteBase(std::string strText) : m_strText(std::move(strText)) {}

 private:
  std::string m_strText;
};

// An http or https site: strUrl followed by the path, query included.
class CWebBase : public CSiteBase {
 public:
  explicit CWebBase(std::string strUrl);
  bool Fetch(const std::string& strPath, const std::string& strLocalPath,
             const CFetchSettings& settings) const override;
  std::string Problem() const override;

 private:
  std::string m_strUrl;  // ends in '/'
};

// A folder holding the site's files in the layout of their paths. Links
// below it are not followed.
class CFolderBase : public CSiteBase {
 public:
  CFolderBase(std::string strText, std::string strDir);
  bool Fetch(const std::string& strPath, const std::string& strLocalPath,
             const CFetchSettings& settings) const override;
  std::string Problem() const override;

 private:
  std::string m_strDir;
};

// A ZIP archive holding the site's files under their paths. Members are read
// straight from the archive, never extracted; a member whose bytes do not
// match its checksum, a link or a directory is not served.
class CArchiveBase : public CSiteBase {
 public:
  CArchiveBase(std::string strText, std::string strPath);
  ~CArchiveBase() override;
  bool Fetch(const std::string& strPath, const std::string& strLocalPath,
             const CFetchSettings& settings) const override;
  std::string Problem() const override;

  class CHandle;
  class CLease;

 private:
  // A handle of the archive as it is on disk now, for one fetch; empty, with
  // strError set, when the archive cannot be opened or the settings stop
  // the wait for a handle.
  CLease Acquire(const CFetchSettings& settings, std::string& strError) const;
  void Release(std::unique_ptr<CHandle> handle) const;

  std::string m_strPath;
  // One handle reads one member at a time. At most a few are open, so that
  // many connections do not each read the archive's directory; the others
  // wait for one of them. m_lock guards m_idle and m_nOpen.
  mutable std::mutex m_lock;
  mutable std::condition_variable m_released;
  mutable std::vector<std::unique_ptr<CHandle>> m_idle;
  mutable std::size_t m_nOpen = 0;
};

// A base that serves nothing (a form of address the program does not read).
class CUnusableBase : public CSiteBase {
 public:
  CUnusableBase(std::string strText, std::string strProblem);
  bool Fetch(const std::string&, const std::string&, const CFetchSettings&) const override { return false; }
  std::string Problem() const override { return m_strProblem; }

 private:
  std::string m_strProblem;
};

// Writes what read delivers (bytes, 0 at the end, negative on a failure) into
// strLocalPath through a temporary file and a rename. False, with the local
// file as it was, when reading or writing fails or the settings stop it.
bool StoreFromReader(const std::string& strLocalPath, const std::function<ssize_t(char*, std::size_t)>& read,
                     const CFetchSettings& settings);
