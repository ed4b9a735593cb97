#include "host/DeleteTree.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace host {

namespace {
struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};
}  // namespace

bool DeleteTree(const std::string& dir) {
  {
    std::unique_ptr<DIR, DirCloser> search(opendir(dir.c_str()));
    if (!search) return false;
    while (dirent* entry = readdir(search.get())) {
      std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      std::string path = dir + "/" + name;
      struct stat st {};
      if (lstat(path.c_str(), &st) != 0) continue;
      if (S_ISDIR(st.st_mode))
        DeleteTree(path);
      else
        unlink(path.c_str());
    }
  }
  return rmdir(dir.c_str()) == 0;
}

}  // namespace host
