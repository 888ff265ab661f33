// SPDX-License-Identifier: Apache-2.0
// Command-line client for the helper: ping, copy, remove, mkdir, a raw mode that sends JSON
// lines from standard input, and doctor, which checks an installation. Exit statuses follow
// <sysexits.h>; see --help.
#include <sysexits.h>

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "client/doctor.h"
#include "client/helper_client.h"
#include "client/progress_display.h"
#include "platform/code_signing.h"

namespace {

using nimbara::ClientError;
using nimbara::HelperResponse;

constexpr const char* kExitStatuses =
    "Exit status:\n"
    "  0   every answer was ok\n"
    "  1   the helper answered with an error (text, code and reason on standard error)\n"
    "  64  bad usage\n"
    "  65  a line on standard input is not JSON (raw mode)\n"
    "  69  no helper listening at the socket; doctor: the service is stopped\n"
    "  72  doctor: the installed helper is missing or unreadable\n"
    "  76  the helper's answer was malformed or missing\n"
    "  77  refused by the helper's client check\n"
    "  78  doctor: the socket, a plug-in folder or the state folder has the wrong owner or mode\n";

// A vendor build never signs this general client: only the vendor's signed installer
// application may drive the helper.
constexpr bool kSigned = NIMBARA_CLIENT_SIGNED;
constexpr const char* kUnsignedNote =
    "This build of nimbara-helper-client is not signed: the helper serves only programs signed "
    "with the vendor's identity, so it refuses this one (doctor still works).";

const char* kindName(ClientError::Kind kind) {
    switch (kind) {
        case ClientError::Kind::none:
            return "NONE";
        case ClientError::Kind::noHelper:
            return "NO_HELPER";
        case ClientError::Kind::connectionLost:
            return "CONNECTION_LOST";
        case ClientError::Kind::malformedAnswer:
            return "MALFORMED_ANSWER";
    }
    return "";
}

// Reports a failure on the way to the helper; with --json also as an object on standard output.
int exitFor(const ClientError& e, bool json) {
    std::cerr << "nimbara-helper-client: " << e.message << "\n";
    if (json) {
        std::cout << nlohmann::json{{"ok", false},
                                    {"error", e.message},
                                    {"client_error", kindName(e.kind)}}
                         .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
                  << "\n";
    }
    return e.kind == ClientError::Kind::noHelper ? EX_UNAVAILABLE : EX_PROTOCOL;
}

// `text` with its control characters escaped (\n, \xNN): a name in a reason cannot forge a line.
std::string escapedText(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// Prints one answer and returns its exit status.
int report(const HelperResponse& r, const std::string& rawLine, bool json) {
    if (json) {
        std::cout << rawLine << "\n";
    } else if (r.ok) {
        std::cout << r.id << ": ok" << (r.v ? " (protocol " + std::to_string(*r.v) + ")" : "")
                  << "\n";
    }
    if (r.ok) return EX_OK;
    std::cerr << r.id << ": " << r.error.value_or("") << " [" << r.code.value_or("") << "]\n";
    if (r.reason) std::cerr << r.id << ": reason: " << escapedText(*r.reason) << "\n";
    if (r.code != nimbara::codes::kSignatureInvalid) return 1;
    if (!kSigned) std::cerr << "nimbara-helper-client: " << kUnsignedNote << "\n";
    return EX_NOPERM;
}

// Sends one line and reports the answer.
int exchange(nimbara::HelperClient& client, const std::string& line, bool json) {
    auto answer = client.exchange(line);
    // A raw copy may ask for progress: its lines come before the answer, verbatim with --json.
    while (answer.value && nimbara::decodeProgress(*answer.value)) {
        if (json) std::cout << *answer.value << "\n";
        answer = client.readLine();
    }
    if (!answer.value) return exitFor(answer.error, json);
    auto decoded = nimbara::decodeResponse(*answer.value);
    if (!decoded.value) {
        return exitFor({ClientError::Kind::malformedAnswer, "malformed answer: " + decoded.error},
                       json);
    }
    return report(*decoded.value, *answer.value, json);
}

// Sends one operation's request and reports its answer; a copy shows its progress unless the
// output is for scripts (--json) or asked to be quiet.
int runOperation(nimbara::HelperClient& client, nimbara::HelperRequest request, bool json,
                 bool quiet) {
    request.id = client.nextId();
    std::optional<nimbara::ProgressDisplay> display;
    nimbara::CallWatch watch;
    if (request.op == "copy" && !json && !quiet) {
        request.progress = true;
        display.emplace(::isatty(STDERR_FILENO) == 1);
        watch.progress = [&](const nimbara::ProgressLine& p) { display->show(p.done, p.total); };
        watch.waiting = [&] { display->waiting(); };
        watch.waitingAfter = std::chrono::milliseconds(500);
    }
    std::string raw;
    auto answer = client.call(request, watch, &raw);
    display.reset();  // ends the bar's line before the answer
    if (!answer.value) return exitFor(answer.error, json);
    return report(*answer.value, raw, json);
}

int runRaw(nimbara::HelperClient& client, bool json) {
    int worst = EX_OK;
    for (std::string line; std::getline(std::cin, line);) {
        if (!nimbara::isJsonText(line)) {
            std::cerr << "nimbara-helper-client: standard input is not JSON: " << line << "\n";
            return EX_DATAERR;
        }
        int status = exchange(client, line, json);
        if (status == EX_NOPERM || status == EX_PROTOCOL || status == EX_UNAVAILABLE) return status;
        if (status != EX_OK) worst = status;
    }
    return worst;
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything else: no debugger of the same user may attach to a signed client later.
    nimbara::protectOwnProcess();
    CLI::App app{kSigned ? "Talks to the privileged plug-in helper."
                         : std::string("Talks to the privileged plug-in helper.\n") + kUnsignedNote,
                 "nimbara-helper-client"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "nimbara-helper-client " NIMBARA_VERSION);
    app.fallthrough();  // --json, --quiet and --socket may also follow the subcommand
    bool json = false;
    bool quiet = false;
    std::string socketPath = nimbara::kHelperSocketPath;
    app.add_flag("--json", json, "print the helper's response lines verbatim");
    app.add_flag("-q,--quiet", quiet, "show no progress while a copy runs");
    app.add_option("--socket", socketPath, "the helper's socket")->capture_default_str();

    nimbara::HelperRequest request;
    app.add_subcommand("ping", "check that the helper answers");
    auto* copy = app.add_subcommand("copy", "copy a bundle from /Users/ into a plug-in folder");
    copy->add_option("SOURCE", request.source, "bundle to copy")->required();
    copy->add_option("DEST", request.dest, "where to put it")->required();
    auto* remove = app.add_subcommand("remove", "remove an item in a plug-in folder");
    remove->add_option("PATH", request.dest, "item to remove")->required();
    auto* mkdir = app.add_subcommand("mkdir", "create a folder in a plug-in folder");
    mkdir->add_option("PATH", request.dest, "folder to create")->required();
    auto* raw = app.add_subcommand("raw", "send JSON request lines from standard input");
    nimbara::DoctorOptions doctorOptions{"", NIMBARA_INSTALLED_HELPER, false};
    auto* doctor = app.add_subcommand(
        "doctor", "check the installation: socket, helper, this client's signature, log");
    doctor->add_option("--helper", doctorOptions.helperPath, "the installed helper")
        ->capture_default_str();
    app.footer(kExitStatuses);  // set after the subcommands, so that only the top level shows it

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {  // --help, --version
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return EX_USAGE;
    }

    if (doctor->parsed()) {
        doctorOptions.socketPath = socketPath;
        doctorOptions.json = json;
        return nimbara::runDoctor(doctorOptions);
    }
    auto connected = nimbara::HelperClient::connect(socketPath);
    if (!connected.value) return exitFor(connected.error, json);
    nimbara::HelperClient& client = *connected.value;
    if (raw->parsed()) return runRaw(client, json);
    request.op = app.get_subcommands().front()->get_name();  // named after the operation
    return runOperation(client, std::move(request), json, quiet);
}
