// SPDX-License-Identifier: Apache-2.0
#include "platform/executable_info.h"

#include <libkern/OSByteOrder.h>
#include <mach-o/dyld.h>
#include <mach-o/fat.h>
#include <mach-o/loader.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "base/sys.h"

namespace nimbara {

namespace {

constexpr uint32_t kMaxSlices = 16;
constexpr uint32_t kMaxCommandBytes = 1 << 20;
constexpr uint64_t kMaxPlistSize = 1 << 16;

bool within(uint64_t offset, uint64_t len, uint64_t fileSize) {
    return offset <= fileSize && len <= fileSize - offset;
}

bool named(const char (&field)[16], const char* name) {
    return std::strncmp(field, name, sizeof field) == 0;
}

// Where the 64-bit image starts: 0 for a thin file, the first 64-bit slice of a universal one
// (every slice of a build carries the same list).
bool imageOffset(int fd, uint64_t fileSize, uint64_t& offset, std::string& error) {
    uint32_t magic = 0;
    if (!readAt(fd, 0, &magic, sizeof magic)) magic = 0;
    offset = 0;
    if (magic == MH_MAGIC_64) return true;
    if (OSSwapBigToHostInt32(magic) != FAT_MAGIC) {
        error = "not a 64-bit Mach-O executable";
        return false;
    }
    fat_header fat;
    if (!readAt(fd, 0, &fat, sizeof fat) || OSSwapBigToHostInt32(fat.nfat_arch) > kMaxSlices) {
        error = "damaged universal header";
        return false;
    }
    for (uint32_t i = 0; i < OSSwapBigToHostInt32(fat.nfat_arch); ++i) {
        fat_arch arch;
        if (!readAt(fd, sizeof fat + i * sizeof arch, &arch, sizeof arch)) break;
        uint64_t at = OSSwapBigToHostInt32(arch.offset);
        if (!within(at, sizeof(mach_header_64), fileSize) || !readAt(fd, at, &magic, sizeof magic))
            break;
        if (magic == MH_MAGIC_64) {
            offset = at;
            return true;
        }
    }
    error = "no 64-bit slice in the universal file";
    return false;
}

}  // namespace

std::string ownExecutablePath() {
    uint32_t size = 0;
    ::_NSGetExecutablePath(nullptr, &size);  // asks for the size the path needs
    std::string path(size, '\0');
    if (size == 0 || ::_NSGetExecutablePath(path.data(), &size) != 0) return {};
    path.resize(std::strlen(path.c_str()));
    return path;
}

bool readEmbeddedInfoPlist(int fd, std::string& plist, std::string& error) {
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        error = "not a 64-bit Mach-O executable";
        return false;
    }
    const auto fileSize = static_cast<uint64_t>(st.st_size);
    uint64_t image;
    if (!imageOffset(fd, fileSize, image, error)) return false;
    mach_header_64 header;
    if (!readAt(fd, image, &header, sizeof header) || header.sizeofcmds > kMaxCommandBytes ||
        !within(image + sizeof header, header.sizeofcmds, fileSize)) {
        error = "damaged load commands";
        return false;
    }
    std::vector<char> commands(header.sizeofcmds);
    if (!readAt(fd, image + sizeof header, commands.data(), commands.size())) {
        error = "damaged load commands";
        return false;
    }
    for (size_t at = 0, i = 0; i < header.ncmds; ++i) {
        load_command lc;
        if (commands.size() - at < sizeof lc) break;
        std::memcpy(&lc, commands.data() + at, sizeof lc);
        if (lc.cmdsize < sizeof lc || lc.cmdsize > commands.size() - at) break;
        segment_command_64 seg;
        if (lc.cmd == LC_SEGMENT_64 && lc.cmdsize >= sizeof seg) {
            std::memcpy(&seg, commands.data() + at, sizeof seg);
            uint64_t room = (lc.cmdsize - sizeof seg) / sizeof(section_64);
            for (uint32_t k = 0; named(seg.segname, SEG_TEXT) && k < seg.nsects && k < room; ++k) {
                section_64 s;
                std::memcpy(&s, commands.data() + at + sizeof seg + k * sizeof s, sizeof s);
                if (!named(s.sectname, "__info_plist")) continue;
                if (s.size > kMaxPlistSize || !within(image + s.offset, s.size, fileSize)) {
                    error = "damaged section __info_plist";
                    return false;
                }
                plist.assign(s.size, '\0');
                if (!readAt(fd, image + s.offset, plist.data(), plist.size())) {
                    error = "damaged section __info_plist";
                    return false;
                }
                return true;
            }
        }
        at += lc.cmdsize;
    }
    error = "no section __info_plist";
    return false;
}

}  // namespace nimbara
