// Bundle operations in a temporary tree that stands in for an allowed root and for /Users.
#include "operations/bundle_ops.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace nimbara {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class BundleOpsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/ops-XXXXXX";
        base_ = ::mkdtemp(tmpl);
        root_ = base_ + "/VST3";
        users_ = base_ + "/Users";
        fs::create_directories(root_);
        fs::create_directories(users_ + "/u");
    }
    void TearDown() override { fs::remove_all(base_); }

    Caller caller_{0, 0, {}};
    AnchoredPath dest(const std::string& rel) const { return {root_, root_ + "/" + rel}; }
    AnchoredPath src(const std::string& rel) const { return {users_, users_ + "/" + rel}; }
    static void write(const std::string& path, const std::string& text, mode_t mode = 0644) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path) << text;
        ::chmod(path.c_str(), mode);
    }
    static std::string read(const std::string& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // A small bundle with a versioned layout and a relative link.
    void makeBundle(const std::string& rel) {
        std::string b = users_ + "/" + rel;
        write(b + "/Versions/A/Contents/Info.plist", "plist");
        write(b + "/Versions/A/Contents/Binary", "code", 04755);
        fs::create_directory_symlink("A", b + "/Versions/Current");
    }
    std::string copyError(const AnchoredPath& s, const AnchoredPath& d) const {
        try {
            copyBundle(caller_, s, d);
        } catch (const OperationError& e) {
            EXPECT_EQ(e.kind(), OperationError::Kind::copyFailed);
            return e.description();
        }
        return "";
    }

    std::string base_, root_, users_;
};

TEST_F(BundleOpsTest, CopyReplacesNeverMergesAndCreatesParents) {
    makeBundle("u/Foo.vst3");
    write(root_ + "/New/Deep/Foo.vst3/OnlyInOld", "old");
    copyBundle(caller_, src("u/Foo.vst3"), dest("New/Deep/Foo.vst3"));
    std::string d = root_ + "/New/Deep/Foo.vst3";
    EXPECT_FALSE(fs::exists(d + "/OnlyInOld"));
    EXPECT_EQ(read(d + "/Versions/Current/Contents/Info.plist"), "plist");
    EXPECT_TRUE(fs::is_symlink(d + "/Versions/Current"));
    EXPECT_EQ(fs::read_symlink(d + "/Versions/Current"), "A");
    // No leftovers beside the destination.
    EXPECT_EQ(std::distance(fs::directory_iterator(root_ + "/New/Deep"), {}), 1);

    copyBundle(caller_, src("u/Foo.vst3"), dest("New/Deep/Foo.vst3"));  // again: replace in place
    EXPECT_EQ(read(d + "/Versions/A/Contents/Binary"), "code");
}

TEST_F(BundleOpsTest, ModesAreMaskedAndNothingPrivilegedCarriesOver) {
    makeBundle("u/Foo.vst3");
    write(users_ + "/u/Foo.vst3/shared", "w", 0777);
    ::chmod((users_ + "/u/Foo.vst3/Versions").c_str(), 03777);
    copyBundle(caller_, src("u/Foo.vst3"), dest("Foo.vst3"));
    struct stat st;
    ASSERT_EQ(::stat((root_ + "/Foo.vst3/Versions/A/Contents/Binary").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);  // setuid dropped
    ASSERT_EQ(::stat((root_ + "/Foo.vst3/shared").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);  // group/other write dropped
    ASSERT_EQ(::stat((root_ + "/Foo.vst3/Versions").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST_F(BundleOpsTest, CopyFailuresKeepTheOldDestination) {
    write(root_ + "/Foo.vst3/old", "old");
    // Missing source: the reason alone, old bundle intact.
    std::string e = copyError(src("u/Missing.vst3"), dest("Foo.vst3"));
    EXPECT_THAT(e, StartsWith("Copy failed: Cannot read " + users_ + "/u/Missing.vst3"));
    EXPECT_THAT(e, HasSubstr("No such file or directory"));
    EXPECT_EQ(read(root_ + "/Foo.vst3/old"), "old");

    // A FIFO inside the bundle fails the copy without blocking; nothing is left behind.
    makeBundle("u/Fifo.vst3");
    ASSERT_EQ(::mkfifo((users_ + "/u/Fifo.vst3/pipe").c_str(), 0644), 0);
    e = copyError(src("u/Fifo.vst3"), dest("Foo.vst3"));
    EXPECT_THAT(e, HasSubstr("not a regular file, folder or symbolic link"));
    EXPECT_EQ(read(root_ + "/Foo.vst3/old"), "old");
    EXPECT_EQ(std::distance(fs::directory_iterator(root_), {}), 1);
}

TEST_F(BundleOpsTest, ParentFailureMessages) {
    makeBundle("u/Foo.vst3");
    write(root_ + "/File", "x");
    // The parent is a regular file: the copy fails with the reason alone.
    std::string e = copyError(src("u/Foo.vst3"), dest("File/Foo.vst3"));
    EXPECT_THAT(e, StartsWith("Copy failed: Cannot create folder " + root_ + "/File"));
    EXPECT_THAT(e, HasSubstr("Not a directory"));
    // A parent that cannot be created names the step.
    e = copyError(src("u/Foo.vst3"), dest(std::string(300, 'n') + "/Foo.vst3"));
    EXPECT_THAT(e, StartsWith("Copy failed: Failed to create parent dir: Cannot create folder"));
    EXPECT_THAT(e, HasSubstr("File name too long"));
}

TEST_F(BundleOpsTest, CopyOfLinksAndDanglingDestination) {
    fs::create_symlink("/etc/passwd", users_ + "/u/link");
    copyBundle(caller_, src("u/link"),
               dest("link"));  // a source that is a link is copied as a link
    EXPECT_EQ(fs::read_symlink(root_ + "/link"), "/etc/passwd");
    // A dangling link at the destination counts as absent and is not replaced.
    fs::create_symlink("nowhere", root_ + "/dangling");
    makeBundle("u/Foo.vst3");
    EXPECT_THAT(copyError(src("u/Foo.vst3"), dest("dangling")), HasSubstr("File exists"));
    EXPECT_TRUE(fs::is_symlink(root_ + "/dangling"));
}

TEST_F(BundleOpsTest, RemoveCases) {
    removeBundle(caller_, dest("Nothing"));  // nothing there: success
    removeBundle(caller_, dest("No/Such/Parent"));

    makeBundle("u/Foo.vst3");
    copyBundle(caller_, src("u/Foo.vst3"), dest("Foo.vst3"));
    removeBundle(caller_, dest("Foo.vst3"));
    EXPECT_FALSE(fs::exists(root_ + "/Foo.vst3"));

    write(base_ + "/target", "keep");
    fs::create_symlink(base_ + "/target", root_ + "/link");
    removeBundle(caller_, dest("link"));
    EXPECT_FALSE(fs::is_symlink(root_ + "/link"));
    EXPECT_EQ(read(base_ + "/target"), "keep");

    fs::create_symlink(base_ + "/missing", root_ + "/dangling");
    removeBundle(caller_, dest("dangling"));  // counts as absent: left in place, success
    EXPECT_TRUE(fs::is_symlink(root_ + "/dangling"));

    EXPECT_THROW(removeBundle(caller_, dest(".")), OperationError);
}

TEST_F(BundleOpsTest, MkdirCases) {
    mkdirp(caller_, dest("A/B/C"));
    EXPECT_TRUE(fs::is_directory(root_ + "/A/B/C"));
    mkdirp(caller_, dest("A/B/C"));  // exists: success
    write(root_ + "/F", "x");
    for (const char* target : {"F", "F/Sub"}) {
        try {
            mkdirp(caller_, dest(target));
            ADD_FAILURE() << "created " << target;
        } catch (const OperationError& e) {
            EXPECT_EQ(e.kind(), OperationError::Kind::mkdirFailed);
            EXPECT_THAT(e.description(), StartsWith("Mkdir failed: Cannot create folder"));
            EXPECT_THAT(e.description(), HasSubstr("Not a directory"));
        }
    }
    // The root itself, and missing folders above it.
    fs::remove_all(root_);
    mkdirp(caller_, {root_, root_});
    EXPECT_TRUE(fs::is_directory(root_));
}

TEST_F(BundleOpsTest, LinksBelowTheRootAreNeverFollowed) {
    fs::create_directories(base_ + "/outside");
    write(base_ + "/outside/canary", "canary");
    fs::create_directory_symlink(base_ + "/outside", root_ + "/evil");
    makeBundle("u/Foo.vst3");

    EXPECT_THAT(copyError(src("u/Foo.vst3"), dest("evil/Foo.vst3")), HasSubstr("evil"));
    EXPECT_THROW(mkdirp(caller_, dest("evil/New")), OperationError);
    EXPECT_THROW(removeBundle(caller_, dest("evil/canary")), OperationError);
    EXPECT_EQ(read(base_ + "/outside/canary"), "canary");
    EXPECT_EQ(std::distance(fs::directory_iterator(base_ + "/outside"), {}), 1);

    // A link on the way to the source is refused too.
    fs::create_directory_symlink(base_ + "/outside", users_ + "/u/escape");
    EXPECT_THAT(copyError(src("u/escape/canary"), dest("stolen")), HasSubstr("symbolic links"));
    EXPECT_FALSE(fs::exists(root_ + "/stolen"));
}

TEST_F(BundleOpsTest, VeryDeepTreesFailWithAReason) {
    int fd = ::open(users_.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::mkdirat(fd, "deep", 0755), 0);
    int cur = ::openat(fd, "deep", O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < 10000; ++i) {
        ASSERT_EQ(::mkdirat(cur, "d", 0755), 0);
        int next = ::openat(cur, "d", O_RDONLY | O_DIRECTORY);
        ::close(cur);
        cur = next;
    }
    ::close(cur);
    ::close(fd);
    EXPECT_THAT(copyError(src("deep"), dest("deep")), HasSubstr("nested more than"));
    EXPECT_FALSE(fs::exists(root_ + "/deep"));
    EXPECT_THROW(removeBundle(caller_, src("deep")), OperationError);
}

}  // namespace
}  // namespace nimbara
