// SPDX-License-Identifier: Apache-2.0
#include "host/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/sys.h"
#include "base/unique_fd.h"
#include "platform/open_file_path.h"

namespace nimbara {

LogFile LogFile::ofStandardOutput() {
    LogFile file;
    struct stat out, err;
    if (::fstat(STDOUT_FILENO, &out) != 0 || !S_ISREG(out.st_mode)) return file;
    file.path_ = pathOfOpenFile(STDOUT_FILENO);
    file.errorToo_ =
        ::fstat(STDERR_FILENO, &err) == 0 && err.st_dev == out.st_dev && err.st_ino == out.st_ino;
    return file;
}

std::string LogFile::reopen() const {
    if (path_.empty()) return kNothingToReopen;
    // Root appends here, so a link or a second name planted at the path could point the log
    // into any file; O_NONBLOCK keeps a FIFO from holding the signal thread.
    UniqueFd fd(::open(path_.c_str(),
                       O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    if (!fd) return errnoText(errno);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return errnoText(errno);
    if (!S_ISREG(st.st_mode)) return "it is not a regular file";
    if (st.st_uid != ::geteuid()) return "it belongs to uid " + std::to_string(st.st_uid);
    if (st.st_nlink != 1) return "it has more than one name";
    if (::fcntl(fd.get(), F_SETFL, O_APPEND) != 0) return errnoText(errno);
    // dup2 replaces the descriptor in one step: a line written meanwhile goes whole to one file.
    if (::dup2(fd.get(), STDOUT_FILENO) < 0) return errnoText(errno);
    if (errorToo_) ::dup2(fd.get(), STDERR_FILENO);
    return "";
}

std::string reopenedText(const std::string& path) {
    std::string text = "Reopened the log at ";
    return text.append(path);
}

std::string reopenFailedText(const std::string& path, const std::string& reason) {
    std::string text = "Cannot reopen the log at ";
    return text.append(path).append(": ").append(reason).append("; writing on to the file it had");
}

}  // namespace nimbara
