// veq-publish command line: publish a client folder as a release, or prune blobs of old releases.
#include <stdlib.h>
#include <string.h>

#include <openssl/evp.h>

#include "patch/patch_run_rules.h"
#include "publish.h"

#ifndef VEQ_SERVICE_HOST
#define VEQ_SERVICE_HOST "127.0.0.1"
#endif

static const char kUsage[] =
    "usage: veq-publish CLIENT_DIR OUT_DIR [--max-install-dir N] [--strict] [--service-host A.B.C.D]\n"
    "                   [--sign KEY.pem [--expires-days N]]\n"
    "       veq-publish sign OUT_DIR --sign KEY.pem [--expires-days N]\n"
    "       veq-publish prune OUT_DIR --keep N [--min-age DAYS]\n"
    "Publishes the files of CLIENT_DIR (laid out like an install folder) as OUT_DIR/patch/manifest.tsv and\n"
    "OUT_DIR/patch/blobs/<digest>, after checking every file against the launcher's manifest rules.\n"
    "  --max-install-dir N   longest install folder (characters) the release must work in (default 100,\n"
    "                        at most 149: the launcher refuses longer ones)\n"
    "  --strict              files the launcher does not patch are errors instead of being skipped\n"
    "  --service-host HOST   BishopIP written into the published autoupdate.ini (default " VEQ_SERVICE_HOST ",\n"
    "                        the host this build's launcher uses)\n"
    "  --sign KEY.pem        signs the release into OUT_DIR/patch/manifest.tsv.sig with this RSA key (3072 to\n"
    "                        4096 bits), as release counter one more than the last signed into OUT_DIR\n"
    "  --expires-days N      launchers refuse the signature N days from now (default 30, 1 to 3650)\n"
    "  sign                  signs the live manifest anew, for a new expiry\n"
    "  prune --keep N        removes blobs that none of the last N (at least 2) published manifests names,\n"
    "    --min-age DAYS      nor any manifest live less than DAYS ago (default 7)\n"
    "Exit status: 0 published, 1 refused (every reason listed, nothing written), 2 usage or I/O error.\n";

int IsDottedQuad(const char* text) {
    int parts = 0;
    const char* p = text;
    for (;;) {
        int digits = 0, value = 0;
        while (*p >= '0' && *p <= '9' && digits < 4) {
            value = value * 10 + (*p++ - '0');
            digits++;
        }
        if (digits == 0 || digits > 3 || value > 255) return 0;
        parts++;
        if (*p == '\0') return parts == 4;
        if (*p++ != '.' || parts == 4) return 0;
    }
}

// A whole decimal number within [min, max]; 0 otherwise.
static int ParseCount(const char* text, unsigned long min, unsigned long max, unsigned long* out) {
    char* end = NULL;
    if (!text || *text < '0' || *text > '9') return 0;
    unsigned long v = strtoul(text, &end, 10);
    if (*end != '\0' || v < min || v > max) return 0;
    *out = v;
    return 1;
}

static int Usage(const char* problem) {
    fprintf(stderr, "veq-publish: %s\n%s", problem, kUsage);
    return kPublishFailed;
}

static int RunPrune(int argc, char** argv) {
    const char* outDir = NULL;
    unsigned long keep = 0, days = 7;
    int haveKeep = 0;
    for (int i = 2; i < argc; i++) {
        // A launcher that fetched the previous manifest just before a publish still downloads its blobs: 2 at least.
        if (strcmp(argv[i], "--keep") == 0) {
            if (!ParseCount(i + 1 < argc ? argv[i + 1] : NULL, 2, 1000000, &keep))
                return Usage("--keep wants a number of manifests, at least 2");
            haveKeep = 1;
            i++;
        } else if (strcmp(argv[i], "--min-age") == 0) {
            if (!ParseCount(i + 1 < argc ? argv[i + 1] : NULL, 0, 36500, &days))
                return Usage("--min-age wants a number of days");
            i++;
        } else if (argv[i][0] == '-' || outDir) {
            return Usage("unexpected argument to prune");
        } else {
            outDir = argv[i];
        }
    }
    if (!outDir || !haveKeep) return Usage("prune needs OUT_DIR and --keep N");
    return PruneReleases(outDir, (unsigned)keep, (long long)days * 86400, stdout);
}

// --sign KEY and --expires-days N at argv[*i], shared by publishing and signing alone: 1 taken, 0 not one of
// them, -1 with a bad value (shown).
static int TakeSignOption(int argc, char** argv, int* i, const char** keyPath, unsigned long* days) {
    const char* value = *i + 1 < argc ? argv[*i + 1] : NULL;
    const char* problem = NULL;
    if (strcmp(argv[*i], "--sign") == 0) {
        if (!(*keyPath = value)) problem = "--sign wants the PEM file of the release key";
    } else if (strcmp(argv[*i], "--expires-days") == 0) {
        if (!ParseCount(value, 1, kMaxExpiresDays, days)) problem = "--expires-days wants 1 to 3650 days";
    } else {
        return 0;
    }
    ++*i;
    return problem ? (Usage(problem), -1) : 1;
}

// The key, loaded before anything is written (none without --sign); `days` gets its default. 0 when it fails.
static int LoadKeyFor(const char* keyPath, unsigned long* days, EVP_PKEY** key) {
    *key = NULL;
    if (!keyPath && *days) return Usage("--expires-days goes with --sign"), 0;
    if (!*days) *days = kDefaultExpiresDays;
    return !keyPath || (*key = LoadReleaseKey(keyPath)) != NULL;
}

static int RunSign(int argc, char** argv) {
    const char *outDir = NULL, *keyPath = NULL;
    unsigned long days = 0;
    EVP_PKEY* key = NULL;
    for (int i = 2; i < argc; i++) {
        int taken = TakeSignOption(argc, argv, &i, &keyPath, &days);
        if (taken < 0) return kPublishFailed;
        if (taken) continue;
        if (argv[i][0] == '-' || outDir) return Usage("unexpected argument to sign");
        outDir = argv[i];
    }
    if (!outDir || !keyPath) return Usage("sign needs OUT_DIR and --sign KEY.pem");
    if (!LoadKeyFor(keyPath, &days, &key)) return kPublishFailed;
    int result = ResignRelease(outDir, key, days, stdout);
    EVP_PKEY_free(key);
    return result;
}

int main(int argc, char** argv) {
    PublishOptions o;
    const char* dirs[2] = { NULL, NULL };
    int ndirs = 0;
    memset(&o, 0, sizeof o);
    o.maxInstallDir = kDefaultMaxInstallDir;
    snprintf(o.serviceHost, sizeof o.serviceHost, "%s", VEQ_SERVICE_HOST);
    o.report = stdout;
    o.progress = stderr;
    const char* keyPath = NULL;

    if (argc > 1 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        fputs(kUsage, stdout);
        return kPublishOk;
    }
    if (argc > 1 && strcmp(argv[1], "prune") == 0) return RunPrune(argc, argv);
    if (argc > 1 && strcmp(argv[1], "sign") == 0) return RunSign(argc, argv);
    for (int i = 1; i < argc; i++) {
        const char* value = i + 1 < argc ? argv[i + 1] : NULL;
        int taken = TakeSignOption(argc, argv, &i, &keyPath, &o.expiresDays);
        if (taken < 0) return kPublishFailed;
        if (taken) {
            continue;
        } else if (strcmp(argv[i], "--strict") == 0) {
            o.strict = 1;
        } else if (strcmp(argv[i], "--max-install-dir") == 0) {
            unsigned long n = 0;
            // Drive letter, colon and one folder at least; longer than the patch run serves is pointless.
            if (!ParseCount(value, 3, 1000, &n) || !PatchPathsFit(n))
                return Usage("--max-install-dir wants 3 characters or more, up to the longest install folder the "
                             "launcher patches (149)");
            o.maxInstallDir = n;
            i++;
        } else if (strcmp(argv[i], "--service-host") == 0) {
            if (!value || !IsDottedQuad(value)) return Usage("--service-host wants an IPv4 address like 203.0.113.7");
            snprintf(o.serviceHost, sizeof o.serviceHost, "%s", value);
            i++;
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            return Usage("unknown option");
        } else if (ndirs < 2) {
            dirs[ndirs++] = argv[i];
        } else {
            return Usage("too many arguments");
        }
    }
    if (ndirs != 2) return Usage("CLIENT_DIR and OUT_DIR are needed");
    if (!LoadKeyFor(keyPath, &o.expiresDays, &o.signKey)) return kPublishFailed;
    o.clientDir = dirs[0];
    o.outDir = dirs[1];
    // Output is read by people and by scripts alike; interleave stdout and stderr in order.
    setvbuf(stdout, NULL, _IOLBF, 0);
    int result = PublishRelease(&o);
    EVP_PKEY_free(o.signKey);
    return result;
}
