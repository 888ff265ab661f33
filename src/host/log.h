// The daemon's log: one line per event on standard output, "[<UTC time>] [helper] <message>\n".
// Each line goes out in a single write(2), so lines from different threads never interleave and
// appear at once when standard output is a file. Any thread may log.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace nimbara {

// The full line for `message` logged at `when`, newline included.
std::string formatLogLine(std::time_t when, std::string_view message);

// Writes the line for `message` at the current time to standard output; never fails.
void writeLogLine(std::string_view message);

}  // namespace nimbara
