// SPDX-License-Identifier: Apache-2.0
// Bundle operations in a temporary tree that stands in for an allowed root and for /Users. The
// test runs as root and acts for callers of its choosing.
#include "operations/bundle_ops.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <tuple>
#include <vector>

#include "operations/file_contents.h"
#include "operations/tree_walk.h"
#include "operations/trusted_folders.h"

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
        ::chmod(base_.c_str(), 0755);
        root_ = base_ + "/VST3";
        users_ = base_ + "/Users";
        fs::create_directories(root_);
        fs::create_directories(users_ + "/u");
    }
    void TearDown() override { fs::remove_all(base_); }

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
    static size_t count(const std::string& dir) {
        return static_cast<size_t>(std::distance(fs::directory_iterator(dir), {}));
    }
    // A small bundle with a versioned layout and a relative link.
    void makeBundle(const std::string& rel) {
        std::string b = users_ + "/" + rel;
        write(b + "/Versions/A/Contents/Info.plist", "plist");
        write(b + "/Versions/A/Contents/Binary", "code", 04755);
        fs::create_directory_symlink("A", b + "/Versions/Current");
    }
    // The description of the OperationError `op` throws, or "" when it succeeds.
    template <typename Op>
    static std::string error(Op op) {
        try {
            op();
        } catch (const OperationError& e) {
            return e.description();
        }
        return "";
    }
    std::string copy(const AnchoredPath& s, const AnchoredPath& d, const Caller& as = {0, 0, {}}) {
        return error([&] { copyBundle(as, s, d, journal_); });
    }

    std::string base_, root_, users_;
    Caller root{0, 0, {}};
    StagingJournal journal_;
};

TEST_F(BundleOpsTest, CopyReplacesNeverMergesMasksModesAndLeavesNothingBehind) {
    makeBundle("u/Foo.vst3");
    write(users_ + "/u/Foo.vst3/shared", "w", 0777);
    ::chmod((users_ + "/u/Foo.vst3/Versions").c_str(), 03777);
    ::chmod((users_ + "/u/Foo.vst3").c_str(), 06777);
    write(users_ + "/u/Tool", "t", 06777);  // a single file is a top item too
    write(root_ + "/New/Deep/Foo.vst3/OnlyInOld", "old");
    for (int i = 0; i < 2; ++i) EXPECT_EQ(copy(src("u/Foo.vst3"), dest("New/Deep/Foo.vst3")), "");
    EXPECT_EQ(copy(src("u/Tool"), dest("Tool")), "");
    std::string d = root_ + "/New/Deep/Foo.vst3";
    EXPECT_FALSE(fs::exists(d + "/OnlyInOld"));
    EXPECT_EQ(read(d + "/Versions/Current/Contents/Info.plist"), "plist");
    EXPECT_EQ(fs::read_symlink(d + "/Versions/Current"), "A");
    for (std::string item :
         {d, d + "/Versions", d + "/shared", d + "/Versions/A/Contents/Binary", root_ + "/Tool"}) {
        struct stat st;
        ASSERT_EQ(::lstat(item.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0755u) << item;  // no setuid, sticky or group/other write
    }
    EXPECT_EQ(count(root_ + "/New/Deep"), 1u);
    EXPECT_TRUE(journal_.entries().empty());
}

TEST_F(BundleOpsTest, CopyFailuresKeepTheOldDestinationWithTheirReasons) {
    write(root_ + "/Foo.vst3/old", "old");
    write(root_ + "/File", "x");
    makeBundle("u/Fifo.vst3");
    ASSERT_EQ(::mkfifo((users_ + "/u/Fifo.vst3/pipe").c_str(), 0644), 0);
    makeBundle("u/Foo.vst3");
    std::string longName(300, 'n');
    struct Case {
        AnchoredPath source, dest;
        std::string expected;
    } cases[] = {
        {src("u/Missing.vst3"), dest("Foo.vst3"),
         "Copy failed: Cannot read " + users_ + "/u/Missing.vst3: No such file or directory"},
        {src("u/Fifo.vst3"), dest("Foo.vst3"), "not a regular file, folder or symbolic link"},
        // A parent that exists but is no folder: the reason alone.
        {src("u/Foo.vst3"), dest("File/Foo.vst3"),
         "Copy failed: Cannot create folder " + root_ + "/File: Not a directory"},
        // A missing parent that cannot be made, also when the obstacle is higher up.
        {src("u/Foo.vst3"), dest("File/sub/Foo.vst3"),
         "Copy failed: Failed to create parent dir: Cannot create folder " + root_ + "/File"},
        {src("u/Foo.vst3"), dest(longName + "/Foo.vst3"),
         "Copy failed: Failed to create parent dir: Cannot create folder"},
        {src("u/Foo.vst3"), dest("."), "Copy failed: Cannot replace"},
        {src("u/Foo.vst3"),
         {root_, root_},
         "Copy failed: Cannot replace " + root_ + ": it is a plug-in folder"},
    };
    for (const Case& c : cases) {
        EXPECT_THAT(copy(c.source, c.dest), HasSubstr(c.expected)) << c.dest.path;
        EXPECT_EQ(read(root_ + "/Foo.vst3/old"), "old");
        EXPECT_EQ(count(root_), 2u);
    }
    EXPECT_TRUE(journal_.entries().empty());
}

// A link on the way fails the operation; a link that is the source, the destination or the item
// to remove is an item of its own, its target never consulted.
TEST_F(BundleOpsTest, LinksAreItemsNeverFollowed) {
    fs::create_directories(base_ + "/outside");
    write(base_ + "/outside/canary", "canary");
    fs::create_directory_symlink(base_ + "/outside", root_ + "/evil");
    fs::create_directory_symlink(base_ + "/outside", users_ + "/u/escape");
    fs::create_symlink("/etc/passwd", users_ + "/u/link");
    makeBundle("u/Foo.vst3");

    EXPECT_THAT(copy(src("u/Foo.vst3"), dest("evil/Foo.vst3")), HasSubstr("evil"));
    EXPECT_THAT(error([&] { mkdirp(root, dest("evil/New")); }), HasSubstr("symbolic links"));
    // A link to a folder is no folder made or found: mkdir fails on it.
    EXPECT_THAT(error([&] { mkdirp(root, dest("evil")); }), HasSubstr("Not a directory"));
    EXPECT_THAT(error([&] { removeBundle(root, dest("evil/canary")); }),
                HasSubstr("symbolic links"));
    EXPECT_THAT(copy(src("u/escape/canary"), dest("stolen")), HasSubstr("symbolic links"));
    EXPECT_EQ(copy(src("u/link"), dest("link")), "");  // a source that is a link: as a link
    EXPECT_EQ(fs::read_symlink(root_ + "/link"), "/etc/passwd");
    fs::create_symlink("nowhere", root_ + "/Dangling");  // a name blocked by a dangling link
    EXPECT_EQ(copy(src("u/Foo.vst3"), dest("Dangling")), "");
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(root_ + "/Dangling")));
    removeBundle(root, dest("evil"));  // a link is removed as itself
    EXPECT_FALSE(fs::exists(fs::symlink_status(root_ + "/evil")));
    EXPECT_EQ(read(base_ + "/outside/canary"), "canary");
    EXPECT_EQ(count(base_ + "/outside"), 1u);
}

TEST_F(BundleOpsTest, RemoveAndMkdirCases) {
    removeBundle(root, dest("Nothing"));  // nothing there: success
    removeBundle(root, dest("No/Such/Parent"));
    write(root_ + "/F", "x");
    removeBundle(root, dest("F/Sub"));  // nothing can be below a file
    EXPECT_THAT(error([&] { removeBundle(root, dest(".")); }), HasSubstr("Invalid argument"));
    EXPECT_TRUE(fs::exists(root_ + "/F"));  // a final "." never stands for the root

    mkdirp(root, dest("A/B/C"));
    mkdirp(root, dest("A/B/C"));  // exists: success
    EXPECT_TRUE(fs::is_directory(root_ + "/A/B/C"));
    for (const char* target : {"F", "F/Sub"}) {
        EXPECT_THAT(error([&] { mkdirp(root, dest(target)); }),
                    StartsWith("Mkdir failed: Cannot create folder " + root_ + "/F"));
    }
    // An item another user owns is theirs to remove or replace, even in a shared folder; its
    // group, and the caller's, do not count.
    makeBundle("u/Foo.vst3");
    ASSERT_EQ(::chown((root_ + "/A").c_str(), 1000, 1001), 0);
    const std::string notYours = root_ + "/A is owned by uid 1000";
    const Caller other{1001, 1000, {1000}};
    EXPECT_THAT(error([&] { removeBundle(other, dest("A")); }), HasSubstr(notYours));
    EXPECT_THAT(copy(src("u/Foo.vst3"), dest("A"), other), HasSubstr(notYours));
    removeBundle({1000, 2000, {}}, dest("A"));
    EXPECT_FALSE(fs::exists(root_ + "/A"));
    fs::remove_all(root_);  // the root itself, and missing folders above it
    mkdirp(root, {root_, root_});
    EXPECT_TRUE(fs::is_directory(root_));
}

TEST_F(BundleOpsTest, FoldersBelowARootAreTrustedOnlyWhenSafe) {
    const Caller caller{1001, 1000, {1002}};  // judged by its uid alone
    struct Case {
        uid_t owner;
        gid_t group;
        mode_t mode;
        const char* distrust;  // "" when the folder may be used
    } cases[] = {
        {0, 0, 0755, ""},
        {1001, 1001, 0755, ""},  // the caller's own
        {0, 0, 0775, ""},        // group root: administrators only
        {1000, 1001, 0755, "is owned by uid 1000"},
        {1002, 1001, 0755, "is owned by uid 1002"},
        {1000, 1000, 0777, "is owned by uid 1000 and writable by others"},
        {0, 0, 0777, "is owned by uid 0 and writable by others"},
        {1001, 50, 0775, "is owned by uid 1001 and writable by group 50"},
    };
    makeBundle("u/Foo.vst3");
    for (const Case& c : cases) {
        std::string dir = root_ + "/Nimbara";
        fs::create_directories(dir);
        ASSERT_EQ(::chown(dir.c_str(), c.owner, c.group), 0);
        ASSERT_EQ(::chmod(dir.c_str(), c.mode), 0);
        UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY));
        bool fresh = verifyNewFolder(fd.get(), 0755) == 0;
        ::mkdirat(fd.get(), "sub", 0755);
        std::string expected = *c.distrust ? dir + " " + c.distrust : "";
        EXPECT_THAT(error([&] { mkdirp(caller, dest("Nimbara")); }), HasSubstr(expected));
        EXPECT_THAT(copy(src("u/Foo.vst3"), dest("Nimbara/Foo.vst3"), caller), HasSubstr(expected));
        EXPECT_EQ(fs::exists(dir + "/Foo.vst3"), !*c.distrust) << c.distrust;
        // Taken for one just made only when it is root's, no wider than asked, and empty.
        EXPECT_EQ(verifyNewFolder(fd.get(), 0755), EEXIST);
        EXPECT_EQ(fresh, c.owner == 0 && c.mode == 0755) << c.distrust;
        fs::remove_all(dir);
    }
}

// With the caller's uid, primary group and supplementary groups, each its own number.
TEST_F(BundleOpsTest, SourcesAreReadAsTheCaller) {
    makeBundle("u/Foo.vst3");
    const std::string secret = users_ + "/u/Foo.vst3/secret";
    const Caller caller{1000, 2000, {3000, 3001}};
    // {owner, group} of a file only its owner and group may read; true when the caller may.
    const std::vector<std::tuple<uid_t, gid_t, bool>> cases{{1000, 0, true},  {0, 2000, true},
                                                            {0, 3001, true},  {0, 0, false},
                                                            {0, 1000, false}, {2000, 0, false}};
    for (auto [owner, group, readable] : cases) {
        write(secret, "s", 0640);
        ASSERT_EQ(::chown(secret.c_str(), owner, group), 0);
        EXPECT_THAT(copy(src("u/Foo.vst3"), dest("Foo.vst3"), caller),
                    HasSubstr(readable ? "" : "Permission denied"))
            << owner << ":" << group;
        EXPECT_EQ(fs::exists(root_ + "/Foo.vst3/secret"), readable);
        EXPECT_EQ(::setfsuid(static_cast<uid_t>(-1)), 0);  // root again after each copy
        fs::remove_all(root_ + "/Foo.vst3");
    }
    fs::remove(secret);
    EXPECT_EQ(copy(src("u/Foo.vst3"), dest("Foo.vst3"), caller), "");
    struct stat st;
    ASSERT_EQ(::stat((root_ + "/Foo.vst3/Versions/A/Contents/Binary").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);  // written as root
    EXPECT_EQ(::setfsuid(static_cast<uid_t>(-1)), 0);
}

TEST_F(BundleOpsTest, NothingInheritsAccessFromTheDestinationFolder) {
    makeBundle("u/Foo.vst3");
    write(users_ + "/u/File", "x", 0640);
    ASSERT_EQ(std::system(("setfacl -d -m u:1000:rwx " + root_).c_str()), 0);
    mkdirp(root, dest("Made"));
    EXPECT_EQ(copy(src("u/Foo.vst3"), dest("Foo.vst3")), "");
    EXPECT_EQ(copy(src("u/File"), dest("File")), "");
    for (const char* item :
         {"/Made", "/Foo.vst3", "/Foo.vst3/Versions/A/Contents/Binary", "/File"}) {
        std::string path = root_ + item;
        EXPECT_LT(::getxattr(path.c_str(), "system.posix_acl_access", nullptr, 0), 0) << item;
        EXPECT_LT(::getxattr(path.c_str(), "system.posix_acl_default", nullptr, 0), 0) << item;
    }
    struct stat st;
    ASSERT_EQ(::stat((root_ + "/File").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(BundleOpsTest, SparseFilesStaySparseAndSizesAreExact) {
    std::string file = users_ + "/u/Sparse.vst3/data";
    write(file, "");
    ASSERT_EQ(::truncate(file.c_str(), 48 << 20), 0);
    int fd = ::open(file.c_str(), O_WRONLY);
    ASSERT_EQ(::pwrite(fd, "end", 3, (48 << 20) - 3), 3);
    ::close(fd);
    EXPECT_EQ(copy(src("u/Sparse.vst3"), dest("Sparse.vst3")), "");
    struct stat st;
    ASSERT_EQ(::stat((root_ + "/Sparse.vst3/data").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 48 << 20);
    EXPECT_LT(st.st_blocks * 512, 1 << 20);
    EXPECT_EQ(read(root_ + "/Sparse.vst3/data").substr((48 << 20) - 3), "end");
}

// A map of holes that cannot be trusted (a failed seek, a file with blocks that shows no data)
// yields neither zeros nor a failed copy: the file is copied whole.
TEST_F(BundleOpsTest, AnUntrustedHoleMapIsCopiedWhole) {
    std::string file = users_ + "/u/Sparse.vst3/data";
    write(file, "");
    ASSERT_EQ(::truncate(file.c_str(), 8 << 20), 0);
    int fd = ::open(file.c_str(), O_WRONLY);
    ASSERT_EQ(::pwrite(fd, "start", 5, 0), 5);
    ASSERT_EQ(::pwrite(fd, "end", 3, (8 << 20) - 3), 3);
    ::close(fd);
    static int refusedWhence, refusal;
    seekForTests = [](int fd, off_t offset, int whence) -> off_t {
        if (whence != refusedWhence) return ::lseek(fd, offset, whence);
        errno = refusal;
        return -1;
    };
    for (auto [whence, err] :
         {std::pair{SEEK_DATA, ENXIO}, {SEEK_DATA, EINVAL}, {SEEK_HOLE, EIO}}) {
        refusedWhence = whence;
        refusal = err;
        EXPECT_EQ(copy(src("u/Sparse.vst3"), dest("Sparse.vst3")), "") << err;
        std::string copied = read(root_ + "/Sparse.vst3/data");
        EXPECT_EQ(copied.substr(0, 5), "start") << err;
        EXPECT_EQ(copied.substr(copied.size() - 3), "end") << err;
    }
    seekForTests = nullptr;
}

TEST_F(BundleOpsTest, TreesOfAnyDepthAreRemovedDeepCopiesFail) {
    for (const std::string& top : {users_ + "/deep", root_ + "/deep"}) {
        int cur = ::open(fs::path(top).parent_path().c_str(), O_RDONLY | O_DIRECTORY);
        for (int i = 0; i < 3000; ++i) {
            ASSERT_EQ(::mkdirat(cur, i == 0 ? "deep" : "d", 0755), 0);
            int next = ::openat(cur, i == 0 ? "deep" : "d", O_RDONLY | O_DIRECTORY);
            ::close(cur);
            cur = next;
        }
        ::close(cur);
    }
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    rlimit low{512, saved.rlim_max};  // a deep copy ends on its depth, with descriptors to spare
    ::setrlimit(RLIMIT_NOFILE, &low);
    EXPECT_THAT(copy(src("deep"), dest("copied")), HasSubstr("nested more than 128 levels"));
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_FALSE(fs::exists(root_ + "/copied"));
    // A user's removal first checks every owner below, through folders reopened on the way up;
    // the check goes on where it left each one (it once started them over, without end).
    ::alarm(60);
    removeBundle(Caller{1000, 1000, {}}, dest("deep"));
    ::alarm(0);
    EXPECT_FALSE(fs::exists(root_ + "/deep"));
}

TEST_F(BundleOpsTest, LeftoversNamedInTheJournalAreSweptAtTheNextStart) {
    std::string state = base_ + "/state";
    journal_.open(state);
    std::string staged = root_ + "/" + stagedNameFor("Foo.vst3");
    write(staged + "/Contents/Binary", "half");
    journal_.add({0, root_, staged});
    journal_.add({0, root_, root_ + "/NotStaged"});  // not a staged name: dropped, never removed
    write(root_ + "/NotStaged", "keep");
    journal_ = StagingJournal();  // the helper died; its lock goes with it

    StagingJournal next;
    next.open(state);
    std::vector<std::string> lines;
    sweepLeftovers(next, [&](const std::string& line) { lines.push_back(line); });
    EXPECT_EQ(lines, std::vector<std::string>{"Removed leftover " + staged});
    EXPECT_FALSE(fs::exists(staged));
    EXPECT_EQ(read(root_ + "/NotStaged"), "keep");
    EXPECT_TRUE(next.entries().empty());
    EXPECT_THROW(StagingJournal().open(state), FsFailure);  // held by `next`
    next = StagingJournal();
    // A lock file that is not root's alone (a user holding it open would keep every helper
    // from starting) is replaced by a fresh one.
    const std::string lock = state + "/lock", link = base_ + "/lock-link";
    for (auto [owner, mode, linked] : std::vector<std::tuple<uid_t, mode_t, bool>>{
             {0, 0644, false}, {1000, 0600, false}, {0, 0600, true}}) {
        fs::remove(lock);
        write(lock, "", mode);
        ASSERT_EQ(::chown(lock.c_str(), owner, 0), 0);
        if (linked) fs::create_hard_link(lock, link);
        StagingJournal held;
        held.open(state);
        struct stat st;
        ASSERT_EQ(::stat(lock.c_str(), &st), 0);
        EXPECT_TRUE(st.st_uid == 0 && (st.st_mode & 07777) == 0600 && st.st_nlink == 1)
            << owner << " " << mode << " " << linked;
        fs::remove(link);
    }
    // A record others could have written is never read.
    ::chmod(state.c_str(), 0757);
    EXPECT_THROW(StagingJournal().open(state), FsFailure);
}

}  // namespace
}  // namespace nimbara
