#include "host/DeleteTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace host {

namespace {

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

// Empties the directory open as fd (which the search takes over). Every
// step goes through the directory's descriptor and never follows a link,
// so a link is removed as a link and nothing outside the tree is reached,
// even if a directory is swapped for a link meanwhile.
void DeleteContents(int fd) {
  std::unique_ptr<DIR, DirCloser> search(fdopendir(fd));
  if (!search) {
    close(fd);
    return;
  }
  while (dirent* entry = readdir(search.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (fstatat(dirfd(search.get()), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      const int child = openat(dirfd(search.get()), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child >= 0) DeleteContents(child);
      unlinkat(dirfd(search.get()), name.c_str(), AT_REMOVEDIR);
    } else {
      unlinkat(dirfd(search.get()), name.c_str(), 0);
    }
  }
}

}  // namespace

bool DeleteTree(const std::string& dir) {
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0) return false;
  // A link given as the directory (a module, or the cache itself) goes as
  // a link: what it points to is not the cache's to delete.
  if (S_ISLNK(st.st_mode)) return unlink(dir.c_str()) == 0;
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  DeleteContents(fd);
  return rmdir(dir.c_str()) == 0;
}

}  // namespace host
