// SPDX-License-Identifier: Apache-2.0
#include <pthread.h>

#include "platform/thread_name.h"

namespace nimbara {

void nameCurrentThread(const std::string& label) {
    constexpr size_t kMaxBytes = 63;  // MAXTHREADNAMESIZE less the terminating NUL
    std::string name = label.size() > kMaxBytes ? label.substr(label.size() - kMaxBytes) : label;
    pthread_setname_np(name.c_str());  // names the calling thread only
}

}  // namespace nimbara
