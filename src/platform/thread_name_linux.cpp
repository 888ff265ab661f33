// SPDX-License-Identifier: Apache-2.0
#include <pthread.h>

#include "platform/thread_name.h"

namespace nimbara {

void nameCurrentThread(const std::string& label) {
    constexpr size_t kMaxBytes = 15;  // and the terminating NUL
    std::string name = label.size() > kMaxBytes ? label.substr(label.size() - kMaxBytes) : label;
    pthread_setname_np(pthread_self(), name.c_str());
}

}  // namespace nimbara
