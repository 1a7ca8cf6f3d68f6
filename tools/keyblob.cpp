// Build step of the launcher: PEM public keys of releases (RSA, 3072 to 4096 bits) as the PUBLICKEYBLOBs that
// CryptImportKey takes, so the launcher needs no key parser of its own.
//   keyblob OUT.cpp [KEY.pem...]    the launcher's key list (none: the launcher checks no signatures)
//   keyblob --raw KEY.pem OUT.bin   one blob, for tests that hand the launcher keys of their own
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

// BLOBHEADER (PUBLICKEYBLOB, version 2, CALG_RSA_KEYX), RSAPUBKEY ("RSA1", bits, exponent), then the modulus,
// every number least significant byte first. Empty when the key is not one releases may be signed with.
static std::vector<unsigned char> Blob(const char* path) {
    std::vector<unsigned char> blob;
    FILE* f = fopen(path, "r");
    EVP_PKEY* key = f ? PEM_read_PUBKEY(f, NULL, NULL, NULL) : NULL;
    BIGNUM *n = NULL, *e = NULL;
    int bits = key ? EVP_PKEY_get_bits(key) : 0;
    if (!key || !EVP_PKEY_is_a(key, "RSA") || bits < 3072 || bits > 4096 || bits % 8 ||
        !EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n) ||
        !EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e) || BN_num_bits(e) > 32) {
        fprintf(stderr, "keyblob: %s is no PEM public RSA key of 3072 to 4096 bits (a private key gives its public "
                        "one with: openssl pkey -in KEY.pem -pubout)\n", path);
    } else {
        const unsigned char header[] = {0x06, 0x02, 0, 0, 0x00, 0xa4, 0, 0, 'R', 'S', 'A', '1'};
        unsigned long exponent = BN_get_word(e);
        blob.assign(header, header + sizeof header);
        for (unsigned long v : {(unsigned long)bits, exponent})
            for (int i = 0; i < 4; i++) blob.push_back((unsigned char)(v >> (8 * i)));
        blob.resize(blob.size() + bits / 8);
        BN_bn2lebinpad(n, &blob[blob.size() - bits / 8], bits / 8);
    }
    BN_free(n);
    BN_free(e);
    EVP_PKEY_free(key);
    if (f) fclose(f);
    return blob;
}

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "--raw") == 0) {
        std::vector<unsigned char> blob = Blob(argv[2]);
        FILE* out = blob.empty() ? NULL : fopen(argv[3], "wb");
        int ok = out && fwrite(blob.data(), 1, blob.size(), out) == blob.size();
        return out && fclose(out) == 0 && ok ? 0 : 1;
    }
    if (argc < 2) {
        fprintf(stderr, "usage: keyblob OUT.cpp [KEY.pem...] | keyblob --raw KEY.pem OUT.bin\n");
        return 2;
    }
    std::string text = "// Made by tools/keyblob.cpp from VEQ_RELEASE_KEY: the keys releases must be signed with.\n"
                       "#include \"patch/patch.h\"\n";
    std::string list;
    for (int k = 2; k < argc; k++) {
        std::vector<unsigned char> blob = Blob(argv[k]);
        if (blob.empty()) return 1;
        text += "static const unsigned char kKey" + std::to_string(k) + "[] = {";
        for (size_t i = 0; i < blob.size(); i++) text += (i % 16 ? " " : "\n    ") + std::to_string(blob[i]) + ",";
        text += "\n};\n";
        list += "{kKey" + std::to_string(k) + ", sizeof kKey" + std::to_string(k) + "}, ";
    }
    if (argc > 2)
        text += "static const ReleaseKey kKeys[] = {" + list + "};\nconst ReleaseKey* g_releaseKeys = kKeys;\n";
    else
        text += "const ReleaseKey* g_releaseKeys = 0;\n";
    text += "unsigned g_releaseKeyCount = " + std::to_string(argc - 2) + ";\n";
    FILE* out = fopen(argv[1], "w");
    int ok = out && fputs(text.c_str(), out) >= 0;
    return out && fclose(out) == 0 && ok ? 0 : 1;
}
