// SPDX-License-Identifier: Apache-2.0
// Command-line client for the helper: ping, copy, remove, mkdir, a raw mode that sends JSON
// lines from standard input, and doctor, which checks an installation. Exit statuses follow
// <sysexits.h>; see --help.
#include <sysexits.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <string>

#include "client/doctor.h"
#include "client/helper_client.h"
#include "platform/code_signing.h"

namespace {

using nimbara::ClientError;
using nimbara::HelperResponse;

constexpr const char* kExitStatuses =
    "Exit status:\n"
    "  0   every answer was ok\n"
    "  1   the helper answered with an error (text and code on standard error)\n"
    "  64  bad usage\n"
    "  65  a line on standard input is not JSON (raw mode)\n"
    "  69  no helper listening at the socket; doctor: the service is stopped\n"
    "  76  the helper's answer was malformed or missing\n"
    "  72  doctor: the installed helper is missing or unreadable\n"
    "  77  refused by the helper's client check\n"
    "  78  doctor: the socket, a plug-in folder or the state folder has the wrong owner or mode\n";

int exitFor(const ClientError& e) {
    std::cerr << "nimbara-helper-client: " << e.message << "\n";
    return e.kind == ClientError::Kind::noHelper ? EX_UNAVAILABLE : EX_PROTOCOL;
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
    return r.code == nimbara::codes::kSignatureInvalid ? EX_NOPERM : 1;
}

// Sends one line and reports the answer.
int exchange(nimbara::HelperClient& client, const std::string& line, bool json) {
    auto answer = client.exchange(line);
    if (!answer.value) return exitFor(answer.error);
    auto decoded = nimbara::decodeResponse(*answer.value);
    if (!decoded.value) {
        return exitFor({ClientError::Kind::malformedAnswer, "malformed answer: " + decoded.error});
    }
    return report(*decoded.value, *answer.value, json);
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
    CLI::App app{"Talks to the privileged plug-in helper.", "nimbara-helper-client"};
    app.footer(kExitStatuses);
    app.require_subcommand(1);
    app.set_version_flag("--version", "nimbara-helper-client " NIMBARA_VERSION);
    app.fallthrough();  // --json and --socket may also follow the subcommand
    bool json = false;
    std::string socketPath = nimbara::kHelperSocketPath;
    app.add_flag("--json", json, "print the helper's response lines verbatim");
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
    if (!connected.value) return exitFor(connected.error);
    nimbara::HelperClient& client = *connected.value;
    if (raw->parsed()) return runRaw(client, json);

    request.id = client.nextId();
    request.op = app.get_subcommands().front()->get_name();  // named after the operation
    return exchange(client, nimbara::encodeRequest(request), json);
}
