// A throw-away Ed25519 key pair made for one test, with the public half in the form
// the update window takes it and the private half as the PEM the release tool reads.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <string>
#include <string_view>

#include "update/update_signature.h"

namespace test {

class TestSigningKey {
public:
    TestSigningKey() {
        EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
        if (!key) return;
        size_t length = m_public.size();
        EVP_PKEY_get_raw_public_key(key, m_public.data(), &length);
        BIO* bio = BIO_new(BIO_s_mem());
        if (bio && PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1) {
            char* data = nullptr;
            const long size = BIO_get_mem_data(bio, &data);
            m_pem.assign(data, static_cast<size_t>(size));
        }
        BIO_free(bio);
        EVP_PKEY_free(key);
    }

    const update::PublicKey& publicKey() const { return m_public; }
    const std::string& pem() const { return m_pem; }
    // The signature file's text for `data`, as the release tool prints it.
    std::string signatureFile(std::string_view data) const {
        const auto signature = update::signWithPemKey(m_pem, data);
        return signature ? update::signatureLine(*signature) : std::string();
    }

private:
    update::PublicKey m_public{};
    std::string m_pem;
};

}  // namespace test
