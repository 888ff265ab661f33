// SPDX-License-Identifier: Apache-2.0
#include "operations/operation_error.h"

namespace nimbara {
namespace {

const char* prefixFor(OperationError::Kind kind) {
    switch (kind) {
        case OperationError::Kind::copyFailed:
            return "Copy failed: ";
        case OperationError::Kind::removeFailed:
            return "Remove failed: ";
        case OperationError::Kind::mkdirFailed:
            return "Mkdir failed: ";
    }
    return "";
}

}  // namespace

OperationError::OperationError(Kind kind, std::string message)
    : kind_(kind), message_(std::move(message)), description_(prefixFor(kind) + message_) {}

}  // namespace nimbara
