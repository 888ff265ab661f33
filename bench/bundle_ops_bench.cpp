// SPDX-License-Identifier: Apache-2.0
// Copies and removes two bundles with the helper's operations and with `cp -a` / `rm -rf` on
// the same file system, interleaved (the order flips every round), on every folder given, and
// prints the medians and the per-round ratios (min/median/max).
//   bundle_ops_bench ROUNDS DIR...            e.g. 7 /dev/shm build/bench-work
//   bundle_ops_bench --make small|large DIR   only makes the bundle DIR (for syscall counts)
// The bundles belong to uid 1000, for whom the operations act, as the helper's would. Each
// DIR/nimbara-bundle-bench is created and removed again. Run as root.
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "operations/bundle_ops.h"
#ifdef BENCH_FLUSH_MODES
#include "flush_modes.h"
#endif

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uid_t kOwner = 1000;

void writeFile(const fs::path& p, size_t bytes, std::mt19937_64& rng) {
    std::vector<uint64_t> block(std::min<size_t>(bytes, 1 << 20) / 8 + 1);
    std::ofstream out(p, std::ios::binary);
    for (size_t left = bytes; left > 0;) {
        for (auto& w : block) w = rng();
        size_t n = std::min(left, block.size() * 8);
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
        left -= n;
    }
}

// About 3,000 small files in a versioned layout with a few links.
void makeSmallBundle(const fs::path& b, std::mt19937_64& rng) {
    for (int d = 0; d < 30; ++d) {
        fs::path dir = b / "Versions/A/Contents/Resources" / ("group" + std::to_string(d));
        fs::create_directories(dir);
        for (int f = 0; f < 100; ++f)
            writeFile(dir / ("file" + std::to_string(f)), 512 + rng() % 8192, rng);
    }
    fs::create_directory_symlink("A", b / "Versions/Current");
    fs::create_directory_symlink("Versions/Current/Contents", b / "Contents");
    fs::create_symlink("Versions/Current/Contents/Resources/group0/file0", b / "Main");
}

// Three large files, about 1 GiB in all.
void makeLargeBundle(const fs::path& b, std::mt19937_64& rng) {
    fs::create_directories(b / "Contents/Data");
    writeFile(b / "Contents/Data/samples-a.bin", 512u << 20, rng);
    writeFile(b / "Contents/Data/samples-b.bin", 256u << 20, rng);
    writeFile(b / "Contents/Data/samples-c.bin", 256u << 20, rng);
}

void makeBundle(const std::string& kind, const fs::path& b) {
    std::mt19937_64 rng(42);
    kind == "large" ? makeLargeBundle(b, rng) : makeSmallBundle(b, rng);
    for (auto& e : fs::recursive_directory_iterator(b)) {
        (void)!::lchown(e.path().c_str(), kOwner, kOwner);
    }
    (void)!::lchown(b.c_str(), kOwner, kOwner);
}

// "tmpfs", "ext4" or the file system's magic number.
std::string fileSystemOf(const fs::path& dir) {
    struct statfs st {};
    if (::statfs(dir.c_str(), &st) != 0) return "?";
    if (st.f_type == TMPFS_MAGIC) return "tmpfs";
    if (st.f_type == EXT4_SUPER_MAGIC) return "ext4";
    char hex[32];
    std::snprintf(hex, sizeof hex, "%#lx", static_cast<unsigned long>(st.f_type));
    return hex;
}

double seconds(const std::function<void()>& f) {
    ::sync();
    auto t0 = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

void shell(const std::string& cmd) {
    if (std::system(cmd.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", cmd.c_str());
        std::exit(1);
    }
}

// The path in single quotes for the shell. Built by appending: g++ 12 at -O3 reports a false
// -Wrestrict inside libstdc++ for `"literal" + std::string&&`.
std::string quoted(const fs::path& p) {
    std::string s = "'";
    s += p.string();
    s += '\'';
    return s;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void printRow(const std::string& where, const std::string& what, const std::vector<double>& ours,
              const std::vector<double>& theirs) {
    std::vector<double> ratios;
    for (size_t i = 0; i < ours.size(); ++i) ratios.push_back(ours[i] / theirs[i]);
    std::sort(ratios.begin(), ratios.end());
    std::printf("%-6s %-13s %10.4f %10.4f   %.2f/%.2f/%.2f\n", where.c_str(), what.c_str(),
                median(ours), median(theirs), ratios.front(), median(ratios), ratios.back());
    std::fflush(stdout);
}

// One run's folders on the file system of `dir`, and one bundle of each kind in turn in them:
// where the helper copies it from and to, and the `cp -a` and `rm -rf` commands that do the same.
struct BenchRun {
    fs::path work, users, root, other;
    explicit BenchRun(const fs::path& dir)
        : work(fs::absolute(dir) / "nimbara-bundle-bench"),
          users(work / "Users"),
          root(work / "VST3"),
          other(work / "cp") {
        fs::remove_all(work);
        for (auto& d : {users, root, other}) fs::create_directories(d);
    }
    ~BenchRun() { fs::remove_all(work); }
    struct Bundle {
        nimbara::AnchoredPath src, dst;
        std::string cp = "cp -a ", rm = "rm -rf ";
    };
    Bundle make(const std::string& kind) const {
        std::string name = kind + ".vst3";
        makeBundle(kind, users / name);
        Bundle b{{users.string(), (users / name).string()},
                 {root.string(), (root / name).string()}};
        b.cp += quoted(users / name) + " " + quoted(other / name);
        b.rm += quoted(other / name);
        return b;
    }
};

// Both bundles on the file system of `dir`, `rounds` interleaved rounds each.
void benchFolder(const fs::path& dir, int rounds) {
    BenchRun run(dir);
    const nimbara::Caller caller{kOwner, kOwner, {}};
    for (std::string kind : {"small", "large"}) {
        const BenchRun::Bundle b = run.make(kind);
        std::vector<double> copyOurs, copyCp, removeOurs, removeRm;
        nimbara::StagingJournal journal;
        auto ours = [&] {
            copyOurs.push_back(
                seconds([&] { nimbara::copyBundle(caller, b.src, b.dst, journal); }));
            removeOurs.push_back(seconds([&] { nimbara::removeBundle(caller, b.dst); }));
        };
        auto theirs = [&] {
            copyCp.push_back(seconds([&] { shell(b.cp); }));
            removeRm.push_back(seconds([&] { shell(b.rm); }));
        };
        for (int i = 0; i < rounds; ++i) {
            if (i % 2 == 0) {
                ours();
                theirs();
            } else {
                theirs();
                ours();
            }
        }
        printRow(fileSystemOf(run.work), "copy " + kind, copyOurs, copyCp);
        printRow(fileSystemOf(run.work), "remove " + kind, removeOurs, removeRm);
        fs::remove_all(run.users / (kind + ".vst3"));
    }
}

#ifdef BENCH_FLUSH_MODES
// Each bundle copied with each flush mode and with `cp -a`, interleaved (the order turns every
// round): the cost of the flushes as a ratio to the same copy without them.
void benchFlushModes(const fs::path& dir, int rounds) {
    using nimbara::FlushMode;
    BenchRun run(dir);
    const nimbara::Caller caller{kOwner, kOwner, {}};
    const FlushMode modes[] = {FlushMode::none, FlushMode::fileSystem, FlushMode::perItem};
    for (std::string kind : {"small", "large"}) {
        const BenchRun::Bundle b = run.make(kind);
        nimbara::StagingJournal journal;
        std::vector<double> times[4];  // by mode, then cp -a
        for (int i = 0; i < rounds; ++i) {
            for (int j = 0; j < 4; ++j) {
                int m = (i + j) % 4;
                if (m == 3) {
                    times[3].push_back(
                        seconds([&] { shell(b.cp + " && sync -f " + quoted(run.other)); }));
                    shell(b.rm);
                    continue;
                }
                nimbara::benchFlushMode = modes[m];
                times[m].push_back(
                    seconds([&] { nimbara::copyBundle(caller, b.src, b.dst, journal); }));
                nimbara::removeBundle(caller, b.dst);
            }
        }
        printRow(fileSystemOf(run.work), kind + " syncfs", times[1], times[0]);
        printRow(fileSystemOf(run.work), kind + " per item", times[2], times[0]);
        printRow(fileSystemOf(run.work), kind + " none/cp+s", times[0], times[3]);
        fs::remove_all(run.users / (kind + ".vst3"));
    }
}
#endif

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--make") {
        makeBundle(argv[2], argv[3]);
        return 0;
    }
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: bundle_ops_bench ROUNDS DIR...\n"
                     "       bundle_ops_bench --make small|large DIR\n");
        return 2;
    }
    int rounds = std::atoi(argv[1]);
    std::printf("%-6s %-13s %10s %10s   %s\n", "fs", "operation", "helper (s)", "cp/rm (s)",
                "ratio min/median/max");
#ifdef BENCH_FLUSH_MODES
    std::printf(
        "(copies: second column is the same copy without any flush; last row: no flush "
        "against cp -a followed by sync -f)\n");
    for (int i = 2; i < argc; ++i) benchFlushModes(argv[i], rounds);
    return 0;
#endif
    for (int i = 2; i < argc; ++i) benchFolder(argv[i], rounds);
    std::printf(
        "(ratio = helper / (cp -a | rm -rf) per round, %d interleaved rounds; times are "
        "medians; the start-up of cp and rm is included)\n",
        rounds);
}
