// Ed25519 signatures of update installers: the one-line signature file published
// beside an installer, its check against a public key, and the signing that the
// release tool does. No Qt and no widgets: the caller decides what a verdict means to
// the user. Pure functions over bytes and files; any thread.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace update {

inline constexpr size_t kPublicKeyBytes = 32;
inline constexpr size_t kSignatureBytes = 64;
// Base64 of 64 bytes: 88 characters, the last two of them "=".
inline constexpr size_t kSignatureLineLength = 88;

using PublicKey = std::array<unsigned char, kPublicKeyBytes>;
using Signature = std::array<unsigned char, kSignatureBytes>;

// 64 hexadecimal digits (either case) giving the raw 32-byte key; nothing otherwise.
std::optional<PublicKey> publicKeyFromHex(std::string_view hex);

// A signature file's text: exactly one canonical base64 line of the 64-byte signature,
// optionally ended by CR LF or LF. Anything else (other lengths, other characters,
// a second line, blanks) is refused.
std::optional<Signature> parseSignatureLine(std::string_view text);

// The signature line, ended by LF, as the release tool prints it.
std::string signatureLine(const Signature& signature);

[[nodiscard]] bool verifySignature(std::string_view data, const Signature& signature, const PublicKey& key);

enum class SignatureCheck {
    Valid,
    Malformed,   // the signature text is not one signature line
    Unreadable,  // the file cannot be read
    Mismatch,    // the signature does not belong to these bytes under this key
};

// Checks the file at `path`, read as it lies on disk now, against the signature text.
[[nodiscard]] SignatureCheck checkFileSignature(const std::string& path, std::string_view signatureText,
                                                const PublicKey& key);

// Reads a whole file; nothing when it cannot be read.
std::optional<std::string> readWholeFile(const std::string& path);

// Signs `data` with a PEM-encoded Ed25519 private key. On failure sets `error` (when
// given) to a short English reason.
std::optional<Signature> signWithPemKey(std::string_view pem, std::string_view data, std::string* error = nullptr);

}  // namespace update
