#pragma once
// A fresh directory under the system's temporary directory for one test, removed with
// everything in it when the object dies.
//
//   test::TempDirectory dir;
//   DiskFileSystem fs(dir.path(), allocator);

#include <string>

namespace tallow::test {

class TempDirectory {
  public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory &) = delete;
    TempDirectory &operator=(const TempDirectory &) = delete;

    const char *path() const { return _path.c_str(); }
    /// path() + "/" + name.
    std::string file(const char *name) const { return _path + "/" + name; }

  private:
    std::string _path;
};

} // namespace tallow::test
