// SPDX-License-Identifier: Apache-2.0
#include "platform/executable_info.h"

#include <elf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <vector>

#include "base/sys.h"

namespace nimbara {

namespace {

constexpr const char* kSectionName = ".info_plist";
constexpr uint64_t kMaxSections = 4096;
constexpr uint64_t kMaxNamesSize = 1 << 20;
constexpr uint64_t kMaxPlistSize = 1 << 16;

bool within(uint64_t offset, uint64_t len, uint64_t fileSize) {
    return offset <= fileSize && len <= fileSize - offset;
}

// Reads the contents of section `s` if it has any and is at most `maxSize` bytes.
bool readSection(int fd, const Elf64_Shdr& s, uint64_t fileSize, uint64_t maxSize,
                 std::vector<char>& out) {
    if (s.sh_type == SHT_NOBITS || s.sh_size > maxSize || !within(s.sh_offset, s.sh_size, fileSize))
        return false;
    out.resize(s.sh_size);
    return readAt(fd, s.sh_offset, out.data(), out.size());
}

}  // namespace

std::string ownExecutablePath() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
    return n > 0 && static_cast<size_t>(n) < sizeof buf ? std::string(buf, static_cast<size_t>(n))
                                                        : std::string();
}

bool readEmbeddedInfoPlist(int fd, std::string& plist, std::string& error) {
    struct stat st;
    Elf64_Ehdr eh;
    if (::fstat(fd, &st) != 0 || !readAt(fd, 0, &eh, sizeof eh) ||
        std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64) {
        error = "not a 64-bit ELF executable";
        return false;
    }
    const auto fileSize = static_cast<uint64_t>(st.st_size);
    if (eh.e_shentsize != sizeof(Elf64_Shdr) || eh.e_shnum == 0 || eh.e_shnum > kMaxSections ||
        eh.e_shstrndx >= eh.e_shnum ||
        !within(eh.e_shoff, uint64_t{eh.e_shnum} * sizeof(Elf64_Shdr), fileSize)) {
        error = "damaged section headers";
        return false;
    }
    std::vector<Elf64_Shdr> sections(eh.e_shnum);
    std::vector<char> nameText;
    if (!readAt(fd, eh.e_shoff, sections.data(), sections.size() * sizeof(Elf64_Shdr)) ||
        !readSection(fd, sections[eh.e_shstrndx], fileSize, kMaxNamesSize, nameText)) {
        error = "damaged section names";
        return false;
    }
    for (const Elf64_Shdr& s : sections) {
        const size_t nameLen = std::strlen(kSectionName) + 1;
        if (s.sh_name >= nameText.size() || nameText.size() - s.sh_name < nameLen ||
            std::memcmp(&nameText[s.sh_name], kSectionName, nameLen) != 0) {
            continue;
        }
        std::vector<char> bytes;
        if (!readSection(fd, s, fileSize, kMaxPlistSize, bytes)) {
            error = "damaged section .info_plist";
            return false;
        }
        plist.assign(bytes.begin(), bytes.end());
        return true;
    }
    error = "no section .info_plist";
    return false;
}

}  // namespace nimbara
