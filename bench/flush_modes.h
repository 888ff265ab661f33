// SPDX-License-Identifier: Apache-2.0
// How the durability bench flushes a staged copy (see flush_modes.cpp).
#pragma once

namespace nimbara {

enum class FlushMode { none, fileSystem, perItem };
extern FlushMode benchFlushMode;

}  // namespace nimbara
