// da_state.cc: atomic snapshot files.
//
// Files are written through stdio streams (closed by unique_ptr deleters)
// and synced through their descriptors (fileno, dirfd): the agent core needs
// no descriptor type from the transport.
#include "slp/da_state.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace orvel::slp {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::string SysError(const char* what, const std::string& path, int err) {
  return std::string(what) + " " + path + ": " + std::strerror(err);
}

}  // namespace

std::string WriteFileAtomic(const std::string& path, const std::string& content) {
  std::string tmp = path + ".tmp";
  File f(std::fopen(tmp.c_str(), "wbe"));
  if (!f) return SysError("open", tmp, errno);
  std::string err;
  if (std::fwrite(content.data(), 1, content.size(), f.get()) != content.size() ||
      std::fflush(f.get()) != 0) {
    err = SysError("write", tmp, errno ? errno : EIO);
  } else if (::fsync(::fileno(f.get())) != 0) {
    err = SysError("fsync", tmp, errno);
  }
  // fclose can report a deferred write error (e.g. on network file systems).
  if (std::fclose(f.release()) != 0 && err.empty()) err = SysError("close", tmp, errno);
  if (err.empty() && std::rename(tmp.c_str(), path.c_str()) != 0) {
    err = SysError("rename", tmp, errno);
  }
  if (!err.empty()) {
    std::remove(tmp.c_str());
    return err;
  }
  // The rename itself is durable only once the directory is synced.
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::unique_ptr<DIR, DirCloser> d(::opendir(dir.c_str()));
  if (d) ::fsync(::dirfd(d.get()));
  return std::string();
}

std::string ReadStateFile(const std::string& path, std::string* content) {
  content->clear();
  File f(std::fopen(path.c_str(), "rbe"));
  if (!f) return errno == ENOENT ? std::string() : SysError("open", path, errno);
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) content->append(buf, n);
  if (std::ferror(f.get())) return SysError("read", path, EIO);
  return std::string();
}

}  // namespace orvel::slp
