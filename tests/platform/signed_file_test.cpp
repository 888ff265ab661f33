// SPDX-License-Identifier: Apache-2.0
// Each way the client check can fail, with identities generated for the test under the build's
// development anchor (and one rogue anchor), and the check of a live process pinned by a pidfd.
#include "platform/signed_file.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>

#include "platform/code_signing.h"
#include "policy/client_requirement.h"

namespace nimbara {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

const std::string kDev = std::string(NIMBARA_BUILD_DIR) + "/codesign/dev";
const std::string kMake = std::string(NIMBARA_SOURCE_DIR) + "/packaging/codesign/make_identity.sh";
const char* kCN = "Developer ID Application: Edda Quillon (R7KQ2MZ9TW)";

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class SignedFileTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/sig-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        auto run = [](const std::string& args) {
            ASSERT_EQ(std::system(("bash " + kMake + " " + args + " >/dev/null 2>&1").c_str()), 0)
                << args;
        };
        run("leaf " + dir_ + "/othercn 'Developer ID Application: Edda Quillon (R7KQ2MZ9TX)' " +
            kDev + "/intermediate");
        run("leaf " + dir_ + "/noeku '" + std::string(kCN) + "' " + kDev + "/intermediate none");
        run("ca " + dir_ + "/rogue 'Nimbara Development Root CA'");
        run("ca " + dir_ + "/rogueint 'Nimbara Development Code Signing CA' " + dir_ + "/rogue");
        run("leaf " + dir_ + "/rogueleaf '" + std::string(kCN) + "' " + dir_ + "/rogueint");
        run("ca " + dir_ + "/selfleaf '" + std::string(kCN) + "'");
        // A CA certificate with the signer's name and usage, issued under the anchor.
        std::ofstream(dir_ + "/caleaf.ext")
            << "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,digitalSignature,keyCertSign\n"
               "extendedKeyUsage=codeSigning\n";
        const std::string ca = dir_ + "/caleaf";
        ASSERT_EQ(
            std::system(("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 "
                         "-nodes -keyout " +
                         ca + ".key -subj '/CN=" + kCN + "' 2>/dev/null | openssl x509 -req -CA " +
                         kDev + "/intermediate.pem -CAkey " + kDev +
                         "/intermediate.key -days 99 "
                         "-extfile " +
                         ca + ".ext -out " + ca + ".pem 2>/dev/null")
                            .c_str()),
            0);
    }
    static void TearDownTestSuite() { fs::remove_all(dir_); }

    // Signs a copy of `program` with `padding` zero bytes after it; returns the signed file's path.
    static std::string signCopy(const std::string& name, const std::string& identifier,
                                const SigningIdentity& id,
                                const std::string& program = "/usr/bin/true", size_t padding = 0) {
        std::string image, error, code = slurp(program) + std::string(padding, '\0');
        EXPECT_TRUE(signExecutable(code, identifier, id, image, error)) << error;
        std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << image;
        ::chmod(path.c_str(), 0755);
        return path;
    }
    static SigningIdentity dev() {
        return {kDev + "/leaf.pem", kDev + "/leaf.key", kDev + "/intermediate.pem"};
    }
    static SigningIdentity under(const std::string& leaf, const std::string& chain) {
        return {dir_ + "/" + leaf + ".pem", dir_ + "/" + leaf + ".key", chain};
    }
    static SignatureCheck check(const std::string& path) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        auto req = compileRequirement(kClientRequirement);
        SignatureCheck c = verifySignedFile(fd, *req);
        ::close(fd);
        return c;
    }

    static std::string dir_;
};
std::string SignedFileTest::dir_;

TEST_F(SignedFileTest, EachFailureKind) {
    struct Case {
        std::string path;
        SignatureVerdict verdict;
        std::string describes;
    };
    std::string good = signCopy("good", "com.corvellan.nimbara", dev());
    // A copy of the good file with one bit flipped at `at` (from the end when negative).
    auto flipped = [&](const std::string& name, long at) {
        std::string bytes = slurp(good);
        bytes[static_cast<size_t>(at < 0 ? long(bytes.size()) + at : at)] ^= 1;
        std::ofstream(dir_ + "/" + name, std::ios::binary) << bytes;
        return dir_ + "/" + name;
    };
    const std::vector<Case> cases{
        {good, SignatureVerdict::valid, "valid"},
        {"/usr/bin/true", SignatureVerdict::notSigned, "not signed"},
        {signCopy("otherid", "com.other", dev()), SignatureVerdict::requirementNotMet,
         "identifier is \"com.other\""},
        {signCopy("othercn", "com.corvellan.nimbara", under("othercn", kDev + "/intermediate.pem")),
         SignatureVerdict::requirementNotMet,
         "leaf CN is \"Developer ID Application: Edda Quillon (R7KQ2MZ9TX)\""},
        {signCopy("noeku", "com.corvellan.nimbara", under("noeku", kDev + "/intermediate.pem")),
         SignatureVerdict::badSigner, "codeSigning"},
        {signCopy("rogue", "com.corvellan.nimbara", under("rogueleaf", dir_ + "/rogueint.pem")),
         SignatureVerdict::untrusted, "untrusted chain"},
        {signCopy("selfsigned", "com.corvellan.nimbara", under("selfleaf", "")),
         SignatureVerdict::untrusted, "untrusted chain"},
        {signCopy("casigner", "com.corvellan.nimbara", under("caleaf", kDev + "/intermediate.pem")),
         SignatureVerdict::badSigner, "signer is a CA"},
        {flipped("tampered", 100), SignatureVerdict::tampered, "code modified"},
        {flipped("badtrailer", -28), SignatureVerdict::badTrailer,  // the version field
         "malformed signature trailer"},
    };
    for (const auto& c : cases) {
        SignatureCheck got = check(c.path);
        EXPECT_EQ(got.verdict, c.verdict) << c.path << ": " << got.describe();
        EXPECT_THAT(got.describe(), HasSubstr(c.describes)) << c.path;
    }
}

TEST_F(SignedFileTest, ResigningReplacesTheSignatureAndSignedProgramsRun) {
    std::string once = signCopy("once", "com.other", dev());
    std::string twice = signCopy("twice", "com.corvellan.nimbara", dev(), once);
    std::string bytes = slurp(twice);
    EXPECT_EQ(bytes.find(kTrailerMagic), bytes.size() - kTrailerMagic.size());  // one signature
    EXPECT_EQ(bytes.substr(0, fs::file_size("/usr/bin/true")), slurp("/usr/bin/true"));
    EXPECT_TRUE(check(twice).ok());
    EXPECT_EQ(std::system(twice.c_str()), 0);  // the loader ignores the appended bytes
}

// A live process is checked by its pinned pidfd; one that ends while its image is being hashed
// (padded, so that hashing takes a while), or has ended, fails.
TEST_F(SignedFileTest, LiveProcessThenExited) {
    using Result = ProcessCheck::Result;
    std::string program =
        signCopy("sleeper", "com.corvellan.nimbara", dev(), "/usr/bin/sleep", 128 << 20);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(program.c_str(), program.c_str(), "30", nullptr);
        ::_exit(127);
    }
    PeerProcess peer{pid, UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))), {}, 0};
    auto verdict = [&](std::string_view requirement) {
        return processSatisfiesRequirement(peer, requirement).result;
    };
    for (int i = 0; i < 200; ++i) {  // wait until the child has exec'd
        if (fs::read_symlink("/proc/" + std::to_string(pid) + "/exe") == program) break;
        ::usleep(5000);
    }
    EXPECT_EQ(verdict(kClientRequirement), Result::valid);
    EXPECT_EQ(verdict("identifier \"com.other\""), Result::invalid);
    EXPECT_EQ(verdict("not a requirement"), Result::invalid);
    auto during = std::async(std::launch::async, [&] { return verdict(kClientRequirement); });
    ::usleep(20 * 1000);
    ::kill(pid, SIGKILL);
    EXPECT_EQ(during.get(), Result::invalid) << "ended during the check";
    ::waitpid(pid, nullptr, 0);
    EXPECT_EQ(verdict(kClientRequirement), Result::invalid) << "after exit";
}

}  // namespace
}  // namespace nimbara
