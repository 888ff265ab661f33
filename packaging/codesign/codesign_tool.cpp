// SPDX-License-Identifier: Apache-2.0
// nimbara-codesign: signs an executable for an identifier, or checks a file against the client
// requirement and says why it fails.
#include <fcntl.h>
#include <sys/stat.h>
#include <sysexits.h>

#include <CLI/CLI.hpp>
#include <fstream>
#include <iostream>
#include <sstream>

#include "base/unique_fd.h"
#include "platform/code_requirement.h"
#include "platform/signed_file.h"
#include "policy/client_requirement.h"

namespace {

bool readFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return true;
}

int sign(const std::string& identifier, const nimbara::SigningIdentity& identity,
         const std::string& input, const std::string& output) {
    std::string code;
    if (!readFile(input, code)) {
        std::cerr << "cannot read " << input << "\n";
        return EX_NOINPUT;
    }
    std::string image;
    std::string error;
    if (!nimbara::signExecutable(code, identifier, identity, image, error)) {
        std::cerr << "cannot sign " << input << ": " << error << "\n";
        return EX_DATAERR;
    }
    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    out.write(image.data(), static_cast<std::streamsize>(image.size()));
    if (!out.flush()) {
        std::cerr << "cannot write " << output << "\n";
        return EX_CANTCREAT;
    }
    struct stat st;
    if (::stat(input.c_str(), &st) == 0) ::chmod(output.c_str(), st.st_mode & 07777);
    return EX_OK;
}

int verify(const std::string& path, const std::string& requirementText, const std::string& anchor) {
    auto requirement = nimbara::compileRequirement(requirementText);
    if (!requirement) {
        std::cerr << "requirement does not compile: " << requirementText << "\n";
        return EX_USAGE;
    }
    std::string anchorPem(nimbara::trustAnchorPem());
    if (!anchor.empty() && !readFile(anchor, anchorPem)) {
        std::cerr << "cannot read " << anchor << "\n";
        return EX_NOINPUT;
    }
    nimbara::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        std::cerr << "cannot open " << path << "\n";
        return EX_NOINPUT;
    }
    auto check = nimbara::verifySignedFile(fd.get(), *requirement, anchorPem);
    std::cout << path << ": " << check.describe() << "\n";
    return check.ok() ? EX_OK : 1;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Signs executables and checks them against the client requirement.",
                 "nimbara-codesign"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "nimbara-codesign " NIMBARA_VERSION);

    std::string identifier, input, output;
    nimbara::SigningIdentity identity;
    auto* signCmd = app.add_subcommand("sign", "append a signature to an executable");
    signCmd->add_option("--identifier", identifier, "signing identifier")->required();
    signCmd->add_option("--cert", identity.certificatePemPath, "leaf certificate (PEM)")
        ->required();
    signCmd->add_option("--key", identity.keyPemPath, "leaf private key (PEM)")->required();
    signCmd->add_option("--chain", identity.chainPemPath, "intermediate certificates (PEM)");
    signCmd->add_option("INPUT", input, "executable to sign")->required();
    signCmd->add_option("OUTPUT", output, "signed executable to write")->required();

    std::string file, anchor;
    std::string requirement = nimbara::kClientRequirement;
    auto* verifyCmd = app.add_subcommand("verify", "check a file against a requirement");
    verifyCmd->add_option("FILE", file, "signed executable")->required();
    verifyCmd->add_option("--requirement", requirement, "requirement text")->capture_default_str();
    verifyCmd->add_option("--anchor", anchor,
                          "trust this anchor (PEM) instead of the built-in one");

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {  // --help, --version
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return EX_USAGE;
    }
    if (signCmd->parsed()) return sign(identifier, identity, input, output);
    return verify(file, requirement, anchor);
}
