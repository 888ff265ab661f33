// SPDX-License-Identifier: Apache-2.0
// OperationError: why a bundle operation failed. Case numbers are part of the error's identity
// (domain "Helper.OperationError", code = case number) and must not change. Plain value.
#pragma once

#include <exception>
#include <string>

namespace nimbara {

class OperationError : public std::exception {
  public:
    enum class Kind { copyFailed = 0, removeFailed = 1, mkdirFailed = 2 };

    OperationError(Kind kind, std::string message);

    Kind kind() const { return kind_; }
    const std::string& message() const { return message_; }
    // "Copy failed: ", "Remove failed: " or "Mkdir failed: " followed by the message.
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    static constexpr const char* kDomain = "Helper.OperationError";
    int code() const { return static_cast<int>(kind_); }

  private:
    Kind kind_;
    std::string message_;
    std::string description_;
};

}  // namespace nimbara
