// Signature lines, keys and the check of a file on disk, with key pairs made here.
#include "update/update_signature.h"

#include <gtest/gtest.h>

#include <fstream>

#include "engine_test_support.h"
#include "test_http_server.h"
#include "test_signing_key.h"

using namespace update;
using namespace test;

namespace {

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

}  // namespace

TEST(SignatureLine, OnlyOneCanonicalBase64LineOfSixtyFourBytesIsASignature) {
    Signature signature{};
    for (size_t i = 0; i < signature.size(); ++i) signature[i] = static_cast<unsigned char>(i * 37 + 11);
    const std::string line = signatureLine(signature);
    ASSERT_EQ(line.size(), kSignatureLineLength + 1);
    ASSERT_EQ(line.back(), '\n');
    const std::string bare = line.substr(0, kSignatureLineLength);

    EXPECT_EQ(parseSignatureLine(bare), signature);
    EXPECT_EQ(parseSignatureLine(bare + "\n"), signature);
    EXPECT_EQ(parseSignatureLine(bare + "\r\n"), signature);

    EXPECT_FALSE(parseSignatureLine(""));
    EXPECT_FALSE(parseSignatureLine(bare.substr(0, 44)));  // a file cut in the middle
    EXPECT_FALSE(parseSignatureLine(bare.substr(0, kSignatureLineLength - 1)));
    EXPECT_FALSE(parseSignatureLine(bare + "\r\n\r\n"));
    EXPECT_FALSE(parseSignatureLine(bare + "\nsecond line\n"));
    EXPECT_FALSE(parseSignatureLine(" " + bare));
    EXPECT_FALSE(parseSignatureLine(bare + " "));
    EXPECT_FALSE(parseSignatureLine(bare + "\r"));
    std::string badCharacter = bare;
    badCharacter[10] = '*';
    EXPECT_FALSE(parseSignatureLine(badCharacter));
    // The character before the padding carries four unused bits; a spelling with any
    // of them set decodes to the same bytes but is not the canonical line.
    std::string unusedBits = bare;
    char& last = unusedBits[kSignatureLineLength - 3];
    ++last;  // A, Q, g or w (unused bits clear) becomes B, R, h or x
    EXPECT_FALSE(parseSignatureLine(unusedBits));
    // 65 bytes (or 63) are no Ed25519 signature, however well encoded.
    EXPECT_FALSE(parseSignatureLine(std::string(84, 'A') + "AAA="));
    EXPECT_FALSE(parseSignatureLine(std::string(84, 'A') + "A==="));
}

TEST(SignatureLine, PublicKeysAreSixtyFourHexDigits) {
    const std::string hex = "6A864bc0804e859c126a76e34fd1eb1a281358c0060703f22f5b7f52780598ad";
    const auto key = publicKeyFromHex(hex);
    ASSERT_TRUE(key);
    EXPECT_EQ((*key)[0], 0x6a);
    EXPECT_EQ((*key)[1], 0x86);
    EXPECT_EQ((*key)[31], 0xad);
    EXPECT_FALSE(publicKeyFromHex(hex.substr(0, 62)));
    EXPECT_FALSE(publicKeyFromHex(hex + "00"));
    EXPECT_FALSE(publicKeyFromHex("g" + hex.substr(1)));
    EXPECT_FALSE(publicKeyFromHex(""));
}

TEST(FileSignature, OnlyTheSignerKeyAndTheSignedBytesPass) {
    TestSigningKey key;
    TestSigningKey otherKey;
    ASSERT_FALSE(key.pem().empty());
    TempFolder folder;
    const std::string path = folder.file("installer.bin");
    const std::string installer = randomBytes(150001, 3);
    writeFile(path, installer);
    const std::string signature = key.signatureFile(installer);

    EXPECT_EQ(checkFileSignature(path, signature, key.publicKey()), SignatureCheck::Valid);
    EXPECT_EQ(checkFileSignature(path, signature.substr(0, kSignatureLineLength) + "\r\n", key.publicKey()),
              SignatureCheck::Valid);
    EXPECT_EQ(checkFileSignature(path, signature, otherKey.publicKey()), SignatureCheck::Mismatch);
    EXPECT_EQ(checkFileSignature(path, otherKey.signatureFile(installer), key.publicKey()), SignatureCheck::Mismatch);
    EXPECT_EQ(checkFileSignature(path, key.signatureFile(installer + "x"), key.publicKey()), SignatureCheck::Mismatch);
    EXPECT_EQ(checkFileSignature(path, "", key.publicKey()), SignatureCheck::Malformed);
    EXPECT_EQ(checkFileSignature(path, signature.substr(0, 60), key.publicKey()), SignatureCheck::Malformed);
    EXPECT_EQ(checkFileSignature(folder.file("missing.bin"), signature, key.publicKey()), SignatureCheck::Unreadable);

    // The file as it lies on disk counts: one byte changed after signing fails it.
    std::string changed = installer;
    changed[75000] = static_cast<char>(changed[75000] ^ 1);
    writeFile(path, changed);
    EXPECT_EQ(checkFileSignature(path, signature, key.publicKey()), SignatureCheck::Mismatch);
    writeFile(path, installer.substr(0, 150000));
    EXPECT_EQ(checkFileSignature(path, signature, key.publicKey()), SignatureCheck::Mismatch);

    // An empty file can be signed too; the check does not treat it specially.
    writeFile(path, "");
    EXPECT_EQ(checkFileSignature(path, key.signatureFile(""), key.publicKey()), SignatureCheck::Valid);
}

TEST(FileSignature, SigningWantsAnEd25519PemKey) {
    std::string error;
    EXPECT_FALSE(signWithPemKey("not a key", "data", &error));
    EXPECT_FALSE(error.empty());
    EVP_PKEY* rsa = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(1024));
    ASSERT_NE(rsa, nullptr);
    BIO* bio = BIO_new(BIO_s_mem());
    ASSERT_EQ(PEM_write_bio_PrivateKey(bio, rsa, nullptr, nullptr, 0, nullptr, nullptr), 1);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    const std::string rsaPem(data, static_cast<size_t>(size));
    BIO_free(bio);
    EVP_PKEY_free(rsa);
    error.clear();
    EXPECT_FALSE(signWithPemKey(rsaPem, "data", &error));
    EXPECT_EQ(error, "not an Ed25519 key");
}
