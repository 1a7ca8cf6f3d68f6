// veq-publish's signatures: patch/manifest.tsv.sig over the live manifest, with a counter that only goes up, in
// the format the launcher reads (src/patch/signature_rules.cpp).
#include <errno.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "files.h"
#include "patch/manifest_rules.h"
#include "patch/signature_rules.h"
#include "publish.h"

// The last counter written into OUT_DIR, kept beside the tree it counts for (never served).
static const char kRecordName[] = "signed-release.tsv";
static const char kSignatureName[] = "manifest.tsv.sig";
enum { kSecondsPerDay = 86400, kRecordMaxBytes = 256 };

EVP_PKEY* LoadReleaseKey(const char* path) {
    FILE* f = fopen(path, "r");
    EVP_PKEY* key = f ? PEM_read_PrivateKey(f, NULL, NULL, NULL) : NULL;  // asks for a passphrase when it has one
    if (f) fclose(f);
    int bits = key ? EVP_PKEY_get_bits(key) : 0;
    if (key && EVP_PKEY_is_a(key, "RSA") && bits >= 3072 && bits <= 4096) return key;
    fprintf(stderr, "veq-publish: %s is no PEM private RSA key of 3072 to 4096 bits (make one with: openssl genpkey "
                    "-algorithm RSA -pkeyopt rsa_keygen_bits:3072 -out KEY.pem)\n", path);
    EVP_PKEY_free(key);
    return NULL;
}

// The highest counter OUT_DIR has seen: its record's, or its live signature's should the record be lost (0 with
// neither). 0 returned when the record is there but unreadable: guessing could make the counter go down.
static int LastCounter(const std::string& out, unsigned long long* last) {
    char* data = NULL;
    size_t size = 0;
    ReleaseRecord r;
    ReleaseStatement s;
    struct stat st;
    std::string record = out + "/" + kRecordName;
    *last = 0;
    if (stat(record.c_str(), &st) == 0 || errno != ENOENT) {
        int ok = ReadWholeFile(record.c_str(), kRecordMaxBytes, &data, &size) && ParseReleaseRecord(data, size, &r);
        free(data);
        if (!ok) {
            fprintf(stderr, "veq-publish: cannot read the release counter %s; nothing was signed (launchers refuse "
                            "a counter lower than one they took)\n", record.c_str());
            return 0;
        }
        *last = r.counter;
        data = NULL;
    }
    if (ReadWholeFile((out + "/patch/" + kSignatureName).c_str(), kSignatureFileMaxBytes, &data, &size) &&
        ParseReleaseSignature(data, size, &s) && s.counter > *last)
        *last = s.counter;
    free(data);
    return 1;
}

// The signature read back from the disk, with the launcher's reader.
static int CheckWrittenSignature(void* ctx, const char* data, size_t size) {
    const ReleaseRecord* r = (const ReleaseRecord*)ctx;
    ReleaseStatement s;
    if (ParseReleaseSignature(data, size, &s) && s.counter == r->counter &&
        strcmp(s.manifestDigest, r->manifestDigest) == 0)
        return 1;
    fprintf(stderr, "veq-publish: the signature written does not read back as made; not put in place\n");
    return 0;
}

int SignManifest(const char* outDir, const std::string& manifest, EVP_PKEY* key, unsigned long days, FILE* report) {
    std::string out = outDir, text;
    unsigned long long last = 0;
    ReleaseRecord r;
    char line[256], record[kRecordMaxBytes], until[32];
    unsigned char sig[kSignatureMaxBytes];
    size_t sigLen = sizeof sig;
    if (!LastCounter(out, &last)) return 0;
    r.counter = last + 1;
    DigestBytes(manifest.data(), manifest.size(), r.manifestDigest);
    time_t expires = time(NULL) + (time_t)days * kSecondsPerDay;
    size_t n = FormatSignedLine(line, sizeof line, r.counter, (unsigned long long)expires, r.manifestDigest);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    int ok = n && ctx && EVP_DigestSignInit(ctx, NULL, EVP_sha256(), NULL, key) == 1 &&
             EVP_DigestSign(ctx, sig, &sigLen, (const unsigned char*)line, n) == 1;
    EVP_MD_CTX_free(ctx);
    if (!ok) {
        fprintf(stderr, "veq-publish: signing failed\n");
        return 0;
    }
    text.assign(line, n);
    for (size_t i = 0; i < sigLen; i++) {
        text += "0123456789abcdef"[sig[i] >> 4];
        text += "0123456789abcdef"[sig[i] & 15];
    }
    text += "\n";
    // The counter is taken before the signature carrying it is out: a failure skips a number, never repeats one.
    size_t recordLen = FormatReleaseRecord(record, sizeof record, &r);
    if (!WriteFileAtomically(outDir, kRecordName, record, recordLen, NULL, NULL) ||
        !WriteFileAtomically((out + "/patch").c_str(), kSignatureName, text.data(), text.size(), CheckWrittenSignature,
                             &r))
        return 0;
    strftime(until, sizeof until, "%Y-%m-%d %H:%M:%S", gmtime(&expires));
    fprintf(report, "veq-publish: signed as release %llu, valid until %s UTC: %s/patch/%s\n", r.counter, until,
            outDir, kSignatureName);
    return 1;
}

int ResignRelease(const char* outDir, EVP_PKEY* key, unsigned long days, FILE* report) {
    int result = kPublishFailed, lock = LockReleaseTree(outDir);
    char* data = NULL;
    size_t size = 0;
    std::string path = std::string(outDir) + "/patch/manifest.tsv";
    if (lock < 0) return result;
    if (!ReadWholeFile(path.c_str(), (size_t)kManifestMaxBytes, &data, &size) ||
        CheckManifestText(data, size, 0, NULL, NULL, NULL) < 0)
        fprintf(stderr, "veq-publish: %s is no manifest a launcher takes; nothing was signed\n", path.c_str());
    else if (SignManifest(outDir, std::string(data, size), key, days, report))
        result = kPublishOk;
    free(data);
    close(lock);
    return result;
}

void WarnStaleSignature(const char* outDir, const std::string& manifest, FILE* report) {
    std::string path = std::string(outDir) + "/patch/" + kSignatureName;
    char* data = NULL;
    size_t size = 0;
    char digest[kDigestHex + 1];
    ReleaseStatement s;
    if (!ReadWholeFile(path.c_str(), kSignatureFileMaxBytes, &data, &size)) return;
    DigestBytes(manifest.data(), manifest.size(), digest);
    if (!ParseReleaseSignature(data, size, &s) || strcmp(s.manifestDigest, digest) != 0)
        fprintf(report, "veq-publish: %s signs another manifest: launchers built with a release key refuse this "
                        "release until it is signed (veq-publish sign %s --sign KEY.pem)\n", path.c_str(), outDir);
    free(data);
}
