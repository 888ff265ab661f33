// SPDX-License-Identifier: Apache-2.0
#include "client/progress_display.h"

#include <cstdio>
#include <iostream>

namespace nimbara {
namespace {

constexpr int kBarWidth = 24;

std::string oneDecimal(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

std::string durationText(uint64_t seconds) {
    if (seconds < 60) return std::to_string(seconds) + " s";
    std::string text = std::to_string(seconds / 60);
    text += " min ";
    text += std::to_string(seconds % 60);
    return text += " s";
}

}  // namespace

std::string byteText(uint64_t bytes) {
    static const char* const kUnits[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    if (bytes < 1000) return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes) / 1000;
    size_t unit = 0;
    for (; value >= 1000 && unit + 1 < std::size(kUnits); ++unit) value /= 1000;
    return oneDecimal(value) + " " + kUnits[unit];
}

std::string progressBarText(uint64_t done, uint64_t total, std::chrono::milliseconds elapsed) {
    double part = total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
    if (part > 1.0) part = 1.0;
    int filled = static_cast<int>(part * kBarWidth);
    std::string text = "[";
    text.append(static_cast<size_t>(filled), '#');
    text += std::string(static_cast<size_t>(kBarWidth - filled), '-');
    text += "] ";
    std::string percent = std::to_string(static_cast<int>(part * 100));
    text.append(3 - std::min<size_t>(3, percent.size()), ' ');
    text += percent;
    text += "%  ";
    text += byteText(done);
    text += " of ";
    text += byteText(total);
    if (elapsed.count() > 0 && done > 0) {
        double rate = static_cast<double>(done) * 1000 / static_cast<double>(elapsed.count());
        text += "  ";
        text += byteText(static_cast<uint64_t>(rate));
        text += "/s  ";
        text += durationText(
            static_cast<uint64_t>(static_cast<double>(total - std::min(done, total)) / rate));
        text += " left";
    }
    return text;
}

ProgressDisplay::~ProgressDisplay() {
    if (drawn_) std::cerr << "\n";
}

void ProgressDisplay::show(uint64_t done, uint64_t total) {
    auto now = std::chrono::steady_clock::now();
    if (!started_) start_ = now, started_ = true;
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - start_);
    if (!terminal_) {
        std::cerr << "progress: " << byteText(done) << " of " << byteText(total) << "\n";
        return;
    }
    // Padded so that a shorter text wipes what a longer one left.
    std::string text = progressBarText(done, total, elapsed);
    text.resize(std::max<size_t>(text.size(), 78), ' ');
    std::cerr << "\r" << text << std::flush;
    drawn_ = true;
}

void ProgressDisplay::waiting() {
    std::cerr << "nimbara-helper-client: waiting: the helper runs another operation first\n";
}

}  // namespace nimbara
