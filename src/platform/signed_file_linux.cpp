// SPDX-License-Identifier: Apache-2.0
#include <errno.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "base/sys.h"
#include "platform/signed_file.h"

namespace nimbara {
namespace {

template <auto Free>
struct Deleter {
    template <class T>
    void operator()(T* p) const {
        Free(p);
    }
};
using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE_free>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
struct CertStackFree {
    void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};
using CertStackPtr = std::unique_ptr<STACK_OF(X509), CertStackFree>;
struct SignerStackFree {  // CMS_get0_signers hands out borrowed certificates in a new stack
    void operator()(STACK_OF(X509) * s) const { sk_X509_free(s); }
};

// No configuration file is ever read; no exit-time clean-up races threads still checking peers.
constexpr uint64_t kOpenSslInit = OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_ATEXIT;
constexpr size_t kHashChunk = 1 << 20;
constexpr size_t kCodeDirectoryFixed = 54;
constexpr uint16_t kFormatVersion = 1;

uint64_t readBE(const unsigned char* p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
    return v;
}
void appendBE(std::string& out, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((v >> (8 * i)) & 0xff);
}

bool preadAll(int fd, void* buf, size_t len, off_t offset) {
    auto* p = static_cast<char*>(buf);
    while (len > 0) {
        ssize_t n = ::pread(fd, p, len, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = 0;  // end of file: a fact about the file, not a failure to read
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

struct Trailer {
    uint64_t codeLimit;
    uint32_t cmsLen;
};

// The trailer's fields when the last 40 bytes of `tail` describe a consistent layout.
std::optional<Trailer> parseTrailer(const unsigned char* t, uint64_t fileSize) {
    Trailer tr{readBE(t, 8), static_cast<uint32_t>(readBE(t + 8, 4))};
    uint16_t version = static_cast<uint16_t>(readBE(t + 12, 2));
    uint16_t reserved = static_cast<uint16_t>(readBE(t + 14, 2));
    if (version != kFormatVersion || reserved != 0) return std::nullopt;
    if (tr.cmsLen < kMinSignatureBlock || tr.cmsLen > kMaxSignatureBlock) return std::nullopt;
    if (fileSize < kTrailerSize + tr.cmsLen) return std::nullopt;
    if (tr.codeLimit != fileSize - kTrailerSize - tr.cmsLen || tr.codeLimit < 64)
        return std::nullopt;
    return tr;
}

// True when the last OpenSSL failure was an allocation that failed.
bool opensslOutOfMemory() {
    for (unsigned long e; (e = ERR_get_error()) != 0;) {
        if (ERR_GET_REASON(e) == ERR_R_MALLOC_FAILURE) return true;
    }
    return false;
}

std::string opensslReason() {
    unsigned long e = ERR_peek_last_error();
    const char* reason = e ? ERR_reason_error_string(e) : nullptr;
    return reason ? reason : "rejected";
}

X509Ptr parseAnchor(std::string_view pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    X509Ptr cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    // Only a self-issued CA certificate can be an anchor.
    if (!cert || X509_check_issued(cert.get(), cert.get()) != X509_V_OK ||
        X509_check_ca(cert.get()) == 0) {
        return nullptr;
    }
    return cert;
}

// The compiled-in anchor is parsed once and shared (certificates are reference-counted and safe
// to verify against from any thread); any other anchor, the signing tool's or a test's, each time.
X509Ptr anchorFor(std::string_view pem) {
    static X509* const builtIn = parseAnchor(trustAnchorPem()).release();
    if (builtIn && pem.data() == trustAnchorPem().data() && pem.size() == trustAnchorPem().size() &&
        X509_up_ref(builtIn) == 1) {
        return X509Ptr(builtIn);
    }
    return parseAnchor(pem);
}

std::optional<std::string> commonName(X509* cert) {
    X509_NAME* name = X509_get_subject_name(cert);
    int idx = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (idx < 0 || X509_NAME_get_index_by_NID(name, NID_commonName, idx) >= 0) return std::nullopt;
    unsigned char* utf8 = nullptr;
    int len = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, idx)));
    if (len < 0) return std::nullopt;
    std::string cn(reinterpret_cast<char*>(utf8), static_cast<size_t>(len));
    OPENSSL_free(utf8);
    return cn;
}

struct CodeDirectory {
    uint64_t codeLimit;
    std::string identifier;
    std::array<unsigned char, 32> hash;
};

std::optional<CodeDirectory> parseCodeDirectory(std::string_view d) {
    if (d.size() < kCodeDirectoryFixed || d.substr(0, 8) != kCodeDirectoryMagic)
        return std::nullopt;
    auto* p = reinterpret_cast<const unsigned char*>(d.data());
    if (p[8] != 1 || p[9] != 32 || readBE(p + 10, 2) != 0) return std::nullopt;
    size_t identLen = readBE(p + 20, 2);
    if (identLen < 1 || identLen > 255 || d.size() != kCodeDirectoryFixed + identLen) {
        return std::nullopt;
    }
    CodeDirectory cd{readBE(p + 12, 8), std::string(d.substr(22, identLen)), {}};
    std::memcpy(cd.hash.data(), p + 22 + identLen, 32);
    return cd;
}

bool hashRange(int fd, uint64_t limit, std::array<unsigned char, 32>& out) {
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
        errno = ENOMEM;
        return false;
    }
    std::vector<unsigned char> buf(kHashChunk);
    for (uint64_t off = 0; off < limit;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(kHashChunk, limit - off));
        if (!preadAll(fd, buf.data(), n, static_cast<off_t>(off))) return false;
        EVP_DigestUpdate(ctx.get(), buf.data(), n);
        off += n;
    }
    unsigned int len = 0;
    return EVP_DigestFinal_ex(ctx.get(), out.data(), &len) == 1 && len == 32;
}

SignatureCheck verdict(SignatureVerdict v, std::string detail = {}) {
    ERR_clear_error();
    return {v, std::move(detail)};
}

SignatureCheck outOfMemory() {
    return verdict(SignatureVerdict::couldNotCheck, "out of memory");
}

// A read that failed: unreadable when the file is short or broken, couldNotCheck when the
// system ran short; `errno` is the read's.
SignatureCheck readFailure(const char* what) {
    int err = errno;
    if (isResourceShortage(err)) {
        return verdict(SignatureVerdict::couldNotCheck, std::string(what) + ": " + errnoText(err));
    }
    return verdict(SignatureVerdict::unreadable, what);
}

// Steps after the trailer: the CMS block, the chain, the signer, the code directory, the
// requirement and finally the hash of the code.
SignatureCheck verifySignatureBlock(int fd, const Trailer& tr, const CodeRequirement& requirement,
                                    std::string_view anchorPem) {
    std::vector<unsigned char> der(tr.cmsLen);
    if (!preadAll(fd, der.data(), der.size(), static_cast<off_t>(tr.codeLimit))) {
        return readFailure("cannot read the signature block");
    }
    const unsigned char* cursor = der.data();
    CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(der.size())));
    if (!cms && opensslOutOfMemory()) return outOfMemory();
    if (!cms || cursor != der.data() + der.size()) {
        return verdict(SignatureVerdict::badSignatureBlock, "not one DER CMS structure");
    }
    auto* signers = CMS_get0_SignerInfos(cms.get());
    if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed ||
        OBJ_obj2nid(CMS_get0_eContentType(cms.get())) != NID_pkcs7_data ||
        CMS_is_detached(cms.get()) != 0 || signers == nullptr ||
        sk_CMS_SignerInfo_num(signers) != 1) {
        return verdict(SignatureVerdict::badSignatureBlock, "not signed data with one signer");
    }
    X509_ALGOR* digest = nullptr;
    CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(signers, 0), nullptr, nullptr, &digest,
                             nullptr);
    const ASN1_OBJECT* digestOid = nullptr;
    if (digest) X509_ALGOR_get0(&digestOid, nullptr, nullptr, digest);
    if (!digestOid || OBJ_obj2nid(digestOid) != NID_sha256) {
        return verdict(SignatureVerdict::badSignatureBlock, "digest is not SHA-256");
    }

    X509Ptr anchor = anchorFor(anchorPem);
    StorePtr store(X509_STORE_new());
    BioPtr content(BIO_new(BIO_s_mem()));
    if (!store || !content || (!anchor && opensslOutOfMemory())) return outOfMemory();
    if (!anchor || X509_STORE_add_cert(store.get(), anchor.get()) != 1) {
        return verdict(SignatureVerdict::untrusted, "no usable trust anchor");
    }
    X509_STORE_set_flags(store.get(), X509_V_FLAG_X509_STRICT);
    X509_STORE_set_purpose(store.get(), X509_PURPOSE_ANY);
    if (CMS_verify(cms.get(), nullptr, store.get(), nullptr, content.get(), CMS_BINARY) != 1) {
        std::string reason = opensslReason();
        if (opensslOutOfMemory()) return outOfMemory();
        return verdict(SignatureVerdict::untrusted, reason);
    }

    std::unique_ptr<STACK_OF(X509), SignerStackFree> signerCerts(CMS_get0_signers(cms.get()));
    if (!signerCerts && opensslOutOfMemory()) return outOfMemory();
    if (!signerCerts || sk_X509_num(signerCerts.get()) != 1) {
        return verdict(SignatureVerdict::badSigner, "not exactly one signer certificate");
    }
    X509* leaf = sk_X509_value(signerCerts.get(), 0);
    if (X509_check_ca(leaf) != 0) return verdict(SignatureVerdict::badSigner, "signer is a CA");
    if (!(X509_get_extension_flags(leaf) & EXFLAG_XKUSAGE) ||
        !(X509_get_extended_key_usage(leaf) & XKU_CODE_SIGN)) {
        return verdict(SignatureVerdict::badSigner, "signer lacks the codeSigning usage");
    }
    auto cn = commonName(leaf);
    if (!cn) return verdict(SignatureVerdict::badSigner, "signer has not exactly one CN");

    char* data = nullptr;
    long dataLen = BIO_get_mem_data(content.get(), &data);
    auto cd =
        parseCodeDirectory(std::string_view(data, static_cast<size_t>(std::max(dataLen, 0L))));
    if (!cd || cd->codeLimit != tr.codeLimit) {
        return verdict(SignatureVerdict::badCodeDirectory, "malformed code directory");
    }

    for (const auto& clause : requirement.clauses) {
        using Kind = RequirementClause::Kind;
        switch (clause.kind) {
            case Kind::identifier:
                if (cd->identifier != clause.value) {
                    return verdict(SignatureVerdict::requirementNotMet,
                                   "identifier is \"" + cd->identifier + "\"");
                }
                break;
            case Kind::leafSubjectCN:
                if (*cn != clause.value) {
                    return verdict(SignatureVerdict::requirementNotMet,
                                   "leaf CN is \"" + *cn + "\"");
                }
                break;
            case Kind::anchorAppleGeneric:
                break;  // CMS_verify accepted only chains ending at the compiled-in anchor
        }
    }

    std::array<unsigned char, 32> actual{};
    if (!hashRange(fd, tr.codeLimit, actual)) {
        return readFailure("cannot read the code");
    }
    if (CRYPTO_memcmp(actual.data(), cd->hash.data(), actual.size()) != 0) {
        return verdict(SignatureVerdict::tampered, "code modified after signing");
    }
    return verdict(SignatureVerdict::valid);
}

std::optional<std::vector<X509Ptr>> readCertificates(const std::string& path) {
    std::vector<X509Ptr> certs;
    if (path.empty()) return certs;
    BioPtr bio(BIO_new_file(path.c_str(), "r"));
    if (!bio) return std::nullopt;
    while (X509* c = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) certs.emplace_back(c);
    ERR_clear_error();  // the end of the file reads as an error
    if (certs.empty()) return std::nullopt;
    return certs;
}

// Trailer first, then the signature block: the cheap refusals come before any hashing.
SignatureCheck verifyFile(int fd, const CodeRequirement& requirement, std::string_view anchorPem) {
    OPENSSL_init_crypto(kOpenSslInit, nullptr);
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        if (isResourceShortage(errno)) return readFailure("cannot inspect the file");
        return verdict(SignatureVerdict::notSigned, "not a regular file");
    }
    if (!S_ISREG(st.st_mode)) {
        return verdict(SignatureVerdict::notSigned, "not a regular file");
    }
    auto size = static_cast<uint64_t>(st.st_size);
    unsigned char tail[kTrailerSize];
    if (size < kTrailerSize) return verdict(SignatureVerdict::notSigned);
    if (!preadAll(fd, tail, kTrailerSize, st.st_size - kTrailerSize)) {
        if (isResourceShortage(errno)) return readFailure("cannot read the trailer");
        return verdict(SignatureVerdict::notSigned);
    }
    if (std::memcmp(tail + 16, kTrailerMagic.data(), kTrailerMagic.size()) != 0) {
        return verdict(SignatureVerdict::notSigned);
    }
    auto tr = parseTrailer(tail, size);
    unsigned char elf[4];
    if (!tr || !preadAll(fd, elf, 4, 0) ||
        std::memcmp(elf,
                    "\x7f"
                    "ELF",
                    4) != 0) {
        return verdict(SignatureVerdict::badTrailer);
    }
    return verifySignatureBlock(fd, *tr, requirement, anchorPem);
}

}  // namespace

std::string SignatureCheck::describe() const {
    auto with = [this](const char* what) {
        return detail.empty() ? std::string(what) : std::string(what) + ": " + detail;
    };
    switch (verdict) {
        case SignatureVerdict::valid:
            return "valid";
        case SignatureVerdict::notSigned:
            return with("not signed");
        case SignatureVerdict::badTrailer:
            return with("malformed signature trailer");
        case SignatureVerdict::badSignatureBlock:
            return with("malformed signature block");
        case SignatureVerdict::untrusted:
            return with("untrusted chain");
        case SignatureVerdict::badSigner:
            return with("unacceptable signer");
        case SignatureVerdict::badCodeDirectory:
            return with("bad code directory");
        case SignatureVerdict::requirementNotMet:
            return detail;
        case SignatureVerdict::tampered:
            return with("code modified");
        case SignatureVerdict::unreadable:
            return with("unreadable");
        case SignatureVerdict::couldNotCheck:
            return with("could not check");
    }
    return detail;
}

void initCodeSigning() {
    OPENSSL_init_crypto(kOpenSslInit, nullptr);
    anchorFor(trustAnchorPem());
    ERR_clear_error();
}

SignatureCheck verifySignedFile(int fd, const CodeRequirement& requirement,
                                std::string_view anchorPem) {
    try {
        return verifyFile(fd, requirement, anchorPem);
    } catch (const std::bad_alloc&) {
        return outOfMemory();
    }
}

bool signExecutable(std::string_view code, std::string_view identifier,
                    const SigningIdentity& identity, std::string& signedImage, std::string& error) {
    OPENSSL_init_crypto(kOpenSslInit, nullptr);
    // Re-signing replaces an existing signature.
    if (code.size() >= kTrailerSize &&
        code.substr(code.size() - kTrailerMagic.size()) == kTrailerMagic) {
        auto tr = parseTrailer(
            reinterpret_cast<const unsigned char*>(code.data() + code.size() - kTrailerSize),
            code.size());
        if (tr) code = code.substr(0, tr->codeLimit);
    }
    if (code.size() < 64 || code.substr(0, 4) !=
                                "\x7f"
                                "ELF") {
        error = "input is not an ELF executable";
        return false;
    }
    if (identifier.empty() || identifier.size() > 255) {
        error = "identifier must be 1 to 255 bytes";
        return false;
    }
    auto leaf = readCertificates(identity.certificatePemPath);
    auto chain = readCertificates(identity.chainPemPath);
    BioPtr keyBio(BIO_new_file(identity.keyPemPath.c_str(), "r"));
    KeyPtr key(keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!leaf || leaf->size() != 1 || !chain || !key) {
        error = "cannot read the certificate, key or chain";
        ERR_clear_error();
        return false;
    }

    std::string directory(kCodeDirectoryMagic);
    directory += static_cast<char>(1);
    directory += static_cast<char>(32);
    appendBE(directory, 0, 2);
    appendBE(directory, code.size(), 8);
    appendBE(directory, identifier.size(), 2);
    directory += identifier;
    unsigned char hash[32];
    unsigned int hashLen = 0;
    EVP_Digest(code.data(), code.size(), hash, &hashLen, EVP_sha256(), nullptr);
    directory.append(reinterpret_cast<char*>(hash), 32);

    CertStackPtr extra(sk_X509_new_null());
    for (auto& c : *chain) sk_X509_push(extra.get(), X509_dup(c.get()));
    BioPtr input(BIO_new_mem_buf(directory.data(), static_cast<int>(directory.size())));
    CmsPtr cms(CMS_sign(nullptr, nullptr, extra.get(), nullptr, CMS_BINARY | CMS_PARTIAL));
    bool built = cms &&
                 CMS_add1_signer(cms.get(), (*leaf)[0].get(), key.get(), EVP_sha256(),
                                 CMS_BINARY) != nullptr &&
                 CMS_final(cms.get(), input.get(), nullptr, CMS_BINARY) == 1;
    unsigned char* der = nullptr;
    int derLen = built ? i2d_CMS_ContentInfo(cms.get(), &der) : -1;
    if (derLen < static_cast<int>(kMinSignatureBlock) ||
        derLen > static_cast<int>(kMaxSignatureBlock)) {
        error = "cannot build the signature: " + opensslReason();
        OPENSSL_free(der);
        ERR_clear_error();
        return false;
    }
    signedImage.assign(code);
    signedImage.append(reinterpret_cast<char*>(der), static_cast<size_t>(derLen));
    OPENSSL_free(der);
    appendBE(signedImage, code.size(), 8);
    appendBE(signedImage, static_cast<uint64_t>(derLen), 4);
    appendBE(signedImage, kFormatVersion, 2);
    appendBE(signedImage, 0, 2);
    signedImage += kTrailerMagic;
    return true;
}

}  // namespace nimbara
