#include "tests/support/temp_directory.h"

#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <unistd.h>

namespace tallow::test {

TempDirectory::TempDirectory()
{
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && base[0] ? base : "/tmp") + "/tallow_test_XXXXXX";
    if (mkdtemp(pattern.data()))
        _path = pattern;
}

TempDirectory::~TempDirectory()
{
    if (_path.empty())
        return;
    nftw(
        _path.c_str(),
        [](const char *path, const struct stat *, int, struct FTW *) { return remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

} // namespace tallow::test
