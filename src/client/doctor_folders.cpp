// SPDX-License-Identifier: Apache-2.0
#include <sys/stat.h>
#include <sysexits.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "client/doctor_findings.h"
#include "platform/credentials.h"
#include "platform/service_control.h"
#include "policy/path_rules.h"

namespace nimbara {
namespace {

using nlohmann::json;

// Why the folder at `path` may not be used by the helper, or "" when it may: what the helper
// itself asks of a root (a real folder owned by root) and of each folder above it (also
// writable by no one but root and administrators).
std::string folderTrouble(const std::string& path, bool isRoot) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return std::strerror(errno);
    if (S_ISLNK(st.st_mode)) return "a symbolic link, not a folder";
    if (!S_ISDIR(st.st_mode)) return "not a folder";
    if (st.st_uid != 0) return "owned by uid " + std::to_string(st.st_uid) + ", not root";
    if (isRoot) return "";
    if (st.st_mode & S_IWOTH) return "writable by others";
    if ((st.st_mode & S_IWGRP) && !isAdministratorGroup(st.st_gid)) {
        return "writable by group " + std::to_string(st.st_gid);
    }
    return "";
}

// The first trouble on the way from "/" to `root`, as "PATH: why", and the command that mends
// it; both empty when there is none.
std::pair<std::string, std::string> troubleOnTheWay(const std::string& root) {
    for (size_t at = root.find('/', 1);; at = root.find('/', at + 1)) {
        std::string path = root.substr(0, at);
        bool isRoot = at == std::string::npos;
        std::string why = folderTrouble(path, isRoot);
        if (!why.empty()) {
            std::string quoted = "'" + path + "'";
            if (why == std::strerror(ENOENT)) return {path + ": missing", ""};
            if (why.rfind("owned by", 0) == 0)
                return {path + ": " + why, "sudo chown root " + quoted};
            if (why.rfind("writable", 0) == 0)
                return {path + ": " + why, "sudo chmod go-w " + quoted};
            return {path + ": " + why, "replace " + quoted + " with a folder owned by root"};
        }
        if (isRoot) return {};
    }
}

}  // namespace

Finding checkService() {
    HelperService s = queryHelperService();
    Finding f;
    f.facts = {{"manager", s.managerPresent},
               {"known", s.known},
               {"enabled", s.enabled},
               {"active", s.active},
               {"state", s.state}};
    if (!s.managerPresent) {
        f.text = "no service manager runs here; the helper is started by hand";
    } else if (!s.known) {
        f = {EX_UNAVAILABLE, "the service manager does not know the helper (" + s.state + ")",
             "install it, then: " + commandToStartHelper(), f.facts};
    } else if (!s.active) {
        f = {EX_UNAVAILABLE, "the helper is stopped (" + s.state + ")", commandToStartHelper(),
             f.facts};
    } else if (!s.enabled) {
        f = {EX_CONFIG, "running, but not started at boot (" + s.state + ")",
             commandToStartHelper(), f.facts};
    } else {
        f.text = "enabled and active (" + s.state + ")";
    }
    return f;
}

Finding checkPluginFolders() {
    Finding f;
    f.facts["folders"] = json::array();
    std::vector<std::string> troubles, fixes;
    bool missing = false;
    for (std::string_view root : allowedDestRoots) {
        auto [trouble, fix] = troubleOnTheWay(std::string(root));
        f.facts["folders"].push_back(
            {{"path", root}, {"ok", trouble.empty()}, {"reason", trouble}});
        // Folders share ancestors: a trouble there is said once.
        bool known = std::find(troubles.begin(), troubles.end(), trouble) != troubles.end();
        if (trouble.empty() || known) continue;
        troubles.push_back(trouble);
        if (fix.empty()) {
            missing = true;
        } else {
            fixes.push_back(fix);
        }
    }
    if (troubles.empty()) {
        f.text = "all " + std::to_string(allowedDestRoots.size()) + " present, root's";
        return f;
    }
    // A folder missing when the helper started stays read-only for it until it restarts.
    if (missing) fixes.push_back(commandToCreatePluginFolders());
    f.status = EX_CONFIG;
    for (const auto& t : troubles) f.text += (f.text.empty() ? "" : "; ") + t;
    for (const auto& x : fixes) f.fix += (f.fix.empty() ? "" : "; ") + x;
    return f;
}

Finding checkStateFolder(const std::string& path) {
    Finding f;
    f.facts["path"] = path;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        f.facts["present"] = false;
        f.text = path + ": not made yet (the helper makes it when it first starts)";
        return f;
    }
    f.facts.update({{"present", true}, {"uid", st.st_uid}, {"mode", octalMode(st.st_mode)}});
    f.text = path + ": owner " + std::to_string(st.st_uid) + ", mode " + octalMode(st.st_mode);
    if (!S_ISDIR(st.st_mode) || st.st_uid != 0 || (st.st_mode & 077) != 0) {
        f.status = EX_CONFIG;
        f.text += "; it must be a folder of root's alone";
        f.fix = "sudo chown root '" + path + "' && sudo chmod 0700 '" + path + "'";
    }
    return f;
}

}  // namespace nimbara
