// Copies and removes two bundles with the helper's operations and with `cp -a` / `rm -rf` on the
// same file system, interleaved, and prints the medians and their ratios.
//   bundle_ops_bench [WORK_DIR] [ROUNDS]
// WORK_DIR (default ./bench-work) is created and removed again.
#include <sys/stat.h>
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

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

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

}  // namespace

int main(int argc, char** argv) {
    fs::path work = fs::absolute(argc > 1 ? argv[1] : "bench-work");
    int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const nimbara::Caller caller{0, 0, {}};
    nimbara::StagingJournal journal;
    fs::remove_all(work);
    fs::path users = work / "Users", root = work / "VST3", other = work / "cp";
    fs::create_directories(users);
    fs::create_directories(root);
    fs::create_directories(other);
    std::mt19937_64 rng(42);
    std::printf("making bundles in %s ...\n", work.c_str());
    makeSmallBundle(users / "Small.vst3", rng);
    makeLargeBundle(users / "Large.vst3", rng);

    std::printf("%-6s %-7s %12s %12s %8s\n", "bundle", "op", "helper (s)", "cp/rm (s)", "ratio");
    for (std::string name : {"Small.vst3", "Large.vst3"}) {
        std::vector<double> copyOurs, copyCp, removeOurs, removeRm;
        nimbara::AnchoredPath src{users.string(), (users / name).string()};
        nimbara::AnchoredPath dst{root.string(), (root / name).string()};
        const std::string cp = std::string("cp -a ") + quoted(users / name) + " " +
                               quoted(other / name),
                          rm = std::string("rm -rf ") + quoted(other / name);
        for (int i = 0; i < rounds; ++i) {
            copyOurs.push_back(seconds([&] { nimbara::copyBundle(caller, src, dst, journal); }));
            copyCp.push_back(seconds([&] { shell(cp); }));
            removeOurs.push_back(seconds([&] { nimbara::removeBundle(caller, dst); }));
            removeRm.push_back(seconds([&] { shell(rm); }));
        }
        double co = median(copyOurs), cc = median(copyCp), ro = median(removeOurs),
               rr = median(removeRm);
        std::printf("%-6.5s %-7s %12.4f %12.4f %8.2f\n", name.c_str(), "copy", co, cc, co / cc);
        std::printf("%-6.5s %-7s %12.4f %12.4f %8.2f\n", name.c_str(), "remove", ro, rr, ro / rr);
    }
    std::printf(
        "(ratio = helper / cp -a or rm -rf; medians of %d rounds; process start-up of cp/rm "
        "included)\n",
        rounds);
    fs::remove_all(work);
}
