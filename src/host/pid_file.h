// SPDX-License-Identifier: Apache-2.0
// PidFile: the serving helper's process id in its root-only state folder, where the log rotation
// reads whom to signal. Written only by the instance that serves, whole under a temporary name
// and renamed into place (a reader never sees part of a number), never through a link; removed
// at stop. Made on the main thread once serving; removed on the signal thread.
#pragma once

#include <string>

#include "base/unique_fd.h"

namespace nimbara {

inline constexpr const char* kPidFileName = "helper.pid";

class PidFile {
  public:
    PidFile() = default;

    // Writes this process's id and a newline to `folder`/helper.pid. The folder must be root's
    // own and writable by no one else (a file others could change would have root signal any
    // process). Throws FsFailure with the reason.
    static PidFile create(const std::string& folder);

    // Removes the file; does nothing for a PidFile that was never created. Never fails.
    void remove();

  private:
    UniqueFd folder_;
};

}  // namespace nimbara
