// SPDX-License-Identifier: Apache-2.0
#include "client/doctor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sysexits.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>

#include "client/doctor_findings.h"
#include "client/helper_client.h"
#include "platform/code_signing.h"
#include "platform/executable_info.h"
#include "platform/service_control.h"
#include "platform/system_paths.h"
#include "policy/client_requirement.h"

namespace nimbara {

namespace {

using nlohmann::json;

constexpr const char* kHelperIdentifier = "com.corvellan.nimbara.helper";

Finding checkSocket(const std::string& path) {
    Finding f;
    struct stat st;
    f.facts["path"] = path;
    f.facts["present"] = ::lstat(path.c_str(), &st) == 0;
    if (!f.facts["present"]) {
        return {EX_UNAVAILABLE, path + ": " + std::strerror(errno), commandToStartHelper(),
                f.facts};
    }
    f.facts.update({{"socket", S_ISSOCK(st.st_mode) != 0},
                    {"uid", st.st_uid},
                    {"gid", st.st_gid},
                    {"mode", octalMode(st.st_mode)}});
    if (!S_ISSOCK(st.st_mode)) {
        return {EX_UNAVAILABLE, path + ": not a socket but another kind of file",
                "sudo rm '" + path + "' && " + commandToRestartHelper(), f.facts};
    }
    f.text = path + ": socket, owner " + std::to_string(st.st_uid) + ":" +
             std::to_string(st.st_gid) + ", mode " + octalMode(st.st_mode);
    // Made anew by whoever owns it, the service manager or the helper.
    if (st.st_uid != 0) f = {EX_CONFIG, f.text + "; not owned by root", "", f.facts};
    if ((st.st_mode & 07777) != 0666) {
        f = {EX_CONFIG, f.text + "; clients need mode 0666", "", f.facts};
    }
    if (f.status != EX_OK) f.fix = commandToRestartHelper();
    return f;
}

// Pings the helper. With a sound socket file in place, a failed connect means the file is
// stale. A refusal is expected when this client's own signature does not satisfy the
// requirement (release builds do not sign it); with a valid one, the helper trusts another
// anchor.
Finding checkHelper(const std::string& path, bool socketSound, bool signatureValid) {
    Finding f;
    f.facts["answers"] = false;
    auto connected = HelperClient::connect(path);
    if (!connected.value) {
        std::string why = connected.error.message;
        if (socketSound) why += ": the socket is stale, no helper listens";
        return {EX_UNAVAILABLE, "no helper answers (" + why + ")", commandToRestartHelper(),
                f.facts};
    }
    HelperRequest ping;
    ping.id = connected.value->nextId();
    ping.op = "ping";
    auto answer = connected.value->call(ping);
    if (!answer.value) {
        return {EX_PROTOCOL, answer.error.message,
                "install matching versions of the helper and the client", f.facts};
    }
    const HelperResponse& r = *answer.value;
    f.facts.update({{"answers", true}, {"refused", r.code == codes::kSignatureInvalid}});
    if (r.ok && r.v) f.facts["protocol"] = *r.v;
    if (r.ok && r.v == kProtocolVersion) return {EX_OK, "answers, protocol 1", "", f.facts};
    const char* matching = "install matching versions of the helper and the client";
    if (r.ok) return {EX_PROTOCOL, "answers with another protocol version", matching, f.facts};
    if (r.code != codes::kSignatureInvalid) {
        return {EX_PROTOCOL, "answered " + r.error.value_or("") + " [" + r.code.value_or("") + "]",
                matching, f.facts};
    }
    if (signatureValid) {
        return {EX_NOPERM,
                "refuses this client although its signature is valid: the helper trusts another "
                "anchor",
                "install a helper and a client built with the same trust anchor (a development "
                "helper refuses release clients, and the reverse)",
                f.facts};
    }
    return {EX_OK, "answers; refuses this client, whose signature is not valid for it", "",
            f.facts};
}

// This executable against the requirement the helper checks clients with.
Finding checkOwnSignature() {
    Finding f;
    std::string path = ownExecutablePath();
    OwnSignature own = ownSignature(kClientRequirement);
    f.facts = {{"path", path}, {"valid", own.valid}, {"reason", own.description}};
    f.text = path + ": " + own.description;
    // Not a fault in itself: a vendor build's general client is unsigned by design.
    if (!own.valid) {
        f.text +=
            std::string("; the helper serves only programs that satisfy: ") + kClientRequirement;
    }
    return f;
}

// The text of the <string> that follows <key>`key`</key>, or empty.
std::string plistString(const std::string& plist, const std::string& key) {
    size_t at = plist.find("<key>" + key + "</key>");
    if (at == std::string::npos) return {};
    size_t open = plist.find("<string>", at), close = plist.find("</string>", at);
    if (open == std::string::npos || close == std::string::npos || close < open) return {};
    return plist.substr(open + 8, close - open - 8);
}

Finding checkInstalledHelper(const std::string& path) {
    Finding f;
    f.facts["path"] = path;
    const std::string reinstall = "install the helper again (it belongs at " + path + ")";
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return {EX_OSFILE, path + ": " + std::strerror(errno), reinstall, f.facts};
    std::string plist, error;
    if (!readEmbeddedInfoPlist(fd.get(), plist, error)) {
        return {EX_OSFILE, path + ": " + error, reinstall, f.facts};
    }
    if (plistString(plist, "CFBundleIdentifier") != kHelperIdentifier) {
        return {EX_OSFILE, path + ": not the helper (another bundle identifier)", reinstall,
                f.facts};
    }
    std::string version = plistString(plist, "CFBundleShortVersionString");
    f.facts["version"] = version;
    f.text = path + ": version " + version;
    if (version != NIMBARA_VERSION) f.text += " (this client is " NIMBARA_VERSION ")";
    return f;
}

}  // namespace

std::string octalMode(unsigned mode) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04o", mode & 07777);
    return buf;
}

int runDoctor(const DoctorOptions& options) {
    Finding signature = checkOwnSignature();
    Finding socket = checkSocket(options.socketPath);
    const std::pair<const char*, Finding> findings[] = {
        {"service", checkService()},
        {"socket", socket},
        {"helper",
         checkHelper(options.socketPath, socket.status == EX_OK, signature.facts["valid"])},
        {"signature", signature},
        {"installed", checkInstalledHelper(options.helperPath)},
        {"plugin_folders", checkPluginFolders()},
        {"state", checkStateFolder(kStateFolder)},
        {"log", {EX_OK, NIMBARA_LOG_LOCATION, "", {{"location", NIMBARA_LOG_LOCATION}}}},
    };
    int status = EX_OK;
    json report = json::object();
    for (const auto& [name, f] : findings) {
        if (status == EX_OK) status = f.status;
        report[name] = f.facts;
        report[name]["ok"] = f.status == EX_OK;
        report[name]["text"] = f.text;
        if (!f.fix.empty()) report[name]["fix"] = f.fix;
        if (options.json) continue;
        std::cout << name << ": " << f.text << "\n";
        if (!f.fix.empty()) std::cout << "  fix: " << f.fix << "\n";
    }
    report["status"] = status;
    if (options.json) std::cout << report.dump() << "\n";
    return status;
}

}  // namespace nimbara
