#include "host/log.h"

#include <unistd.h>

#include "base/sys.h"

namespace nimbara {

std::string formatLogLine(std::time_t when, std::string_view message) {
    std::tm utc{};
    gmtime_r(&when, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::string line;
    line.reserve(message.size() + 36);
    line.append("[").append(stamp).append("] [helper] ").append(message).append("\n");
    return line;
}

void writeLogLine(std::string_view message) {
    writeAll(STDOUT_FILENO, formatLogLine(std::time(nullptr), message));
}

}  // namespace nimbara
