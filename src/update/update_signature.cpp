#include "update/update_signature.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace update {
namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using Bio = std::unique_ptr<BIO, BioFree>;

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isBase64Character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

std::string base64(const Signature& signature) {
    unsigned char text[kSignatureLineLength + 1] = {};
    const int written = EVP_EncodeBlock(text, signature.data(), static_cast<int>(signature.size()));
    return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(written));
}

}  // namespace

std::optional<PublicKey> publicKeyFromHex(std::string_view hex) {
    if (hex.size() != 2 * kPublicKeyBytes) return std::nullopt;
    PublicKey key{};
    for (size_t i = 0; i < key.size(); ++i) {
        const int high = hexValue(hex[2 * i]);
        const int low = hexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        key[i] = static_cast<unsigned char>(high * 16 + low);
    }
    return key;
}

std::optional<Signature> parseSignatureLine(std::string_view text) {
    if (text.size() == kSignatureLineLength + 2 && text.substr(kSignatureLineLength) == "\r\n")
        text.remove_suffix(2);
    else if (text.size() == kSignatureLineLength + 1 && text.back() == '\n')
        text.remove_suffix(1);
    if (text.size() != kSignatureLineLength || text.substr(kSignatureLineLength - 2) != "==") return std::nullopt;
    for (char c : text.substr(0, kSignatureLineLength - 2))
        if (!isBase64Character(c)) return std::nullopt;

    // 88 characters decode to 66 bytes, the last two being the padding.
    unsigned char decoded[kSignatureLineLength] = {};
    const int length =
        EVP_DecodeBlock(decoded, reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (length != static_cast<int>(kSignatureBytes) + 2) return std::nullopt;
    Signature signature{};
    std::copy_n(decoded, kSignatureBytes, signature.begin());
    // Only the one canonical spelling: unused low bits of the last character must be 0.
    if (base64(signature) != text) return std::nullopt;
    return signature;
}

std::string signatureLine(const Signature& signature) { return base64(signature) + "\n"; }

bool verifySignature(std::string_view data, const Signature& signature, const PublicKey& key) {
    Pkey pkey(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()));
    MdCtx context(EVP_MD_CTX_new());
    if (!pkey || !context) return false;
    // Ed25519 hashes internally: no digest is named and the data goes in one call.
    if (EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) != 1) return false;
    return EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                            reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
}

std::optional<std::string> readWholeFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::string bytes;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok) bytes.reserve(static_cast<size_t>(st.st_size));
    char chunk[65536];
    while (ok) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) ok = false;
        if (got <= 0) break;
        bytes.append(chunk, static_cast<size_t>(got));
    }
    ::close(fd);
    if (!ok) return std::nullopt;
    return bytes;
}

SignatureCheck checkFileSignature(const std::string& path, std::string_view signatureText, const PublicKey& key) {
    const std::optional<Signature> signature = parseSignatureLine(signatureText);
    if (!signature) return SignatureCheck::Malformed;
    const std::optional<std::string> bytes = readWholeFile(path);
    if (!bytes) return SignatureCheck::Unreadable;
    return verifySignature(*bytes, *signature, key) ? SignatureCheck::Valid : SignatureCheck::Mismatch;
}

std::optional<Signature> signWithPemKey(std::string_view pem, std::string_view data, std::string* error) {
    auto fail = [&](const char* why) -> std::optional<Signature> {
        if (error) *error = why;
        return std::nullopt;
    };
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) return fail("out of memory");
    Pkey pkey(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!pkey) return fail("not a PEM private key");
    if (EVP_PKEY_get_base_id(pkey.get()) != EVP_PKEY_ED25519) return fail("not an Ed25519 key");
    MdCtx context(EVP_MD_CTX_new());
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) != 1)
        return fail("cannot start signing");
    Signature signature{};
    size_t length = signature.size();
    if (EVP_DigestSign(context.get(), signature.data(), &length, reinterpret_cast<const unsigned char*>(data.data()),
                       data.size()) != 1 ||
        length != signature.size())
        return fail("signing failed");
    return signature;
}

}  // namespace update
