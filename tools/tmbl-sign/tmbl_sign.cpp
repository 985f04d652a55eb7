// tmbl-sign KEYFILE FILE: signs FILE with the Ed25519 private key in KEYFILE (PEM, as
// "openssl genpkey -algorithm ed25519" writes it) and prints the signature line that
// is published beside the installer as FILE.sig. Exit status 0 only when it printed.
#include <cstdio>
#include <string>

#include "update/update_signature.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: tmbl-sign KEYFILE FILE > FILE.sig\n", stderr);
        return 2;
    }
    const std::optional<std::string> key = update::readWholeFile(argv[1]);
    if (!key) {
        std::fprintf(stderr, "tmbl-sign: cannot read the key file %s\n", argv[1]);
        return 1;
    }
    const std::optional<std::string> data = update::readWholeFile(argv[2]);
    if (!data) {
        std::fprintf(stderr, "tmbl-sign: cannot read %s\n", argv[2]);
        return 1;
    }
    std::string error;
    const std::optional<update::Signature> signature = update::signWithPemKey(*key, *data, &error);
    if (!signature) {
        std::fprintf(stderr, "tmbl-sign: %s: %s\n", argv[1], error.c_str());
        return 1;
    }
    const std::string line = update::signatureLine(*signature);
    if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() || std::fflush(stdout) != 0) {
        std::fputs("tmbl-sign: cannot write the signature\n", stderr);
        return 1;
    }
    return 0;
}
