// SPDX-License-Identifier: Apache-2.0
#include "host/pid_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "base/sys.h"
#include "operations/trusted_folders.h"

namespace nimbara {

PidFile PidFile::create(const std::string& folder) {
    // The same walk as the record's: the system's links on the way (/var into /private/var).
    UniqueFd dir = openTrustedFolder(folder, /*create=*/false, 0755, LinksOnTheWay::rootsAllowed);
    struct stat st;
    if (::fstat(dir.get(), &st) != 0) throw FsFailure("Cannot read", folder, errno);
    if (st.st_uid != 0 || (st.st_mode & 022) != 0) {
        throw FsFailure(folder + " is writable by others");
    }
    std::string temporary = std::string(".") + kPidFileName + "." + std::to_string(::getpid());
    const std::string path = folder + "/" + kPidFileName;
    ::unlinkat(dir.get(), temporary.c_str(), 0);  // a leftover of an earlier run with this pid
    UniqueFd file(::openat(dir.get(), temporary.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!file) throw FsFailure("Cannot create", path, errno);
    std::string text = std::to_string(::getpid());
    text += '\n';
    bool written = writeAll(file.get(), text);
    int err = errno;
    if (!written || ::renameat(dir.get(), temporary.c_str(), dir.get(), kPidFileName) != 0) {
        if (written) err = errno;
        ::unlinkat(dir.get(), temporary.c_str(), 0);
        throw FsFailure("Cannot write", path, err);
    }
    PidFile made;
    made.folder_ = std::move(dir);
    return made;
}

void PidFile::remove() {
    if (folder_) ::unlinkat(folder_.get(), kPidFileName, 0);
    folder_.reset();
}

}  // namespace nimbara
