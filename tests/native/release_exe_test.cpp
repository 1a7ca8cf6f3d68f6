// Static checks of the built launcher: PE header, resources and imports, read straight from the file.
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace {

enum : uint32_t {
    kRtIcon = 3,
    kRtGroupIcon = 14,
    kRtVersion = 16,
    kRtManifest = 24,
    kLangEnUs = 0x409,
    kDirImport = 1,
    kDirResource = 2,
    kDirDelayImport = 13,
};

struct Section {
    uint32_t va, virtualSize, rawOffset, rawSize;
};

struct Resource {
    uint32_t typeId;  // 0 when the type is named
    std::string name;  // "#n" for numeric ids
    uint32_t lang;
    uint32_t rva, size;
};

struct PeImage {
    std::vector<unsigned char> file;
    uint16_t machine = 0, magic = 0, subsystem = 0;
    std::vector<Section> sections;
    uint32_t dirRva[16] = {}, dirSize[16] = {};
    std::vector<Resource> resources;
    std::vector<std::string> importedDlls;
    std::string error;  // empty when the whole file could be read
};

uint32_t Get(const std::vector<unsigned char>& b, size_t off, int bytes, std::string* err) {
    if (off + (size_t)bytes > b.size() || off + (size_t)bytes < off) {
        if (err->empty()) *err = "read past the end of the file at " + std::to_string(off);
        return 0;
    }
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; i--) v = (v << 8) | b[off + (size_t)i];
    return v;
}

// File offset of `len` bytes at `rva`, or SIZE_MAX when they are not all inside one section's raw data.
size_t FileOffset(const PeImage& pe, uint32_t rva, uint32_t len) {
    for (const Section& s : pe.sections) {
        uint64_t end = (uint64_t)rva + len;
        if (rva >= s.va && end <= (uint64_t)s.va + std::max(s.virtualSize, s.rawSize) &&
            end - s.va <= s.rawSize && (uint64_t)s.rawOffset + (end - s.va) <= pe.file.size())
            return s.rawOffset + (rva - s.va);
    }
    return SIZE_MAX;
}

std::string CString(const PeImage& pe, uint32_t rva) {
    std::string s;
    for (uint32_t i = 0; i < 512; i++) {
        size_t off = FileOffset(pe, rva + i, 1);
        if (off == SIZE_MAX || pe.file[off] == 0) break;
        s += (char)pe.file[off];
    }
    return s;
}

// Resource names are counted UTF-16; ours are ASCII, anything else shows as '?'.
std::string ResourceName(PeImage& pe, size_t resBase, uint32_t nameField) {
    if (!(nameField & 0x80000000u)) return "#" + std::to_string(nameField);
    size_t off = resBase + (nameField & 0x7fffffffu);
    uint32_t n = Get(pe.file, off, 2, &pe.error);
    std::string s;
    for (uint32_t i = 0; i < n && pe.error.empty(); i++) {
        uint32_t c = Get(pe.file, off + 2 + 2 * i, 2, &pe.error);
        s += c < 128 ? (char)c : '?';
    }
    return s;
}

// type -> name -> language -> data entry, the fixed three levels of a Windows resource tree.
void WalkResources(PeImage& pe) {
    size_t base = FileOffset(pe, pe.dirRva[kDirResource], 16);
    if (!pe.dirRva[kDirResource] || base == SIZE_MAX) return;
    std::string* err = &pe.error;
    auto entries = [&](size_t dir, std::vector<std::pair<uint32_t, uint32_t>>* out) {
        uint32_t count = Get(pe.file, dir + 12, 2, err) + Get(pe.file, dir + 14, 2, err);
        for (uint32_t i = 0; i < count && count < 4096 && err->empty(); i++)
            out->push_back({Get(pe.file, dir + 16 + 8 * i, 4, err), Get(pe.file, dir + 20 + 8 * i, 4, err)});
    };
    std::vector<std::pair<uint32_t, uint32_t>> types;
    entries(base, &types);
    for (auto& t : types) {
        if (!(t.second & 0x80000000u)) continue;
        std::vector<std::pair<uint32_t, uint32_t>> names;
        entries(base + (t.second & 0x7fffffffu), &names);
        for (auto& n : names) {
            if (!(n.second & 0x80000000u)) continue;
            std::vector<std::pair<uint32_t, uint32_t>> langs;
            entries(base + (n.second & 0x7fffffffu), &langs);
            for (auto& l : langs) {
                if (l.second & 0x80000000u) continue;
                size_t leaf = base + l.second;
                Resource r;
                r.typeId = (t.first & 0x80000000u) ? 0 : t.first;
                r.name = ResourceName(pe, base, n.first);
                r.lang = l.first;
                r.rva = Get(pe.file, leaf, 4, err);
                r.size = Get(pe.file, leaf + 4, 4, err);
                pe.resources.push_back(r);
            }
        }
    }
}

void ReadImports(PeImage& pe) {
    for (uint32_t d = 0; pe.dirRva[kDirImport] && d < 512; d++) {  // IMAGE_IMPORT_DESCRIPTOR, 20 bytes
        size_t off = FileOffset(pe, pe.dirRva[kDirImport] + 20 * d, 20);
        if (off == SIZE_MAX) {
            pe.error = "import directory outside the sections";
            break;
        }
        uint32_t name = Get(pe.file, off + 12, 4, &pe.error);
        if (name == 0) break;
        pe.importedDlls.push_back(CString(pe, name));
    }
    for (uint32_t d = 0; pe.dirRva[kDirDelayImport] && d < 512; d++) {  // delay-load descriptor, 32 bytes
        size_t off = FileOffset(pe, pe.dirRva[kDirDelayImport] + 32 * d, 32);
        if (off == SIZE_MAX) break;
        uint32_t name = Get(pe.file, off + 4, 4, &pe.error);
        if (name == 0) break;
        pe.importedDlls.push_back(CString(pe, name));
    }
}

void LoadPe(const char* path, PeImage* pe) {
    FILE* f = fopen(path, "rb");
    if (!f) {
        pe->error = std::string("cannot open ") + path;
        return;
    }
    unsigned char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) pe->file.insert(pe->file.end(), chunk, chunk + got);
    fclose(f);

    std::string* err = &pe->error;
    const std::vector<unsigned char>& b = pe->file;
    if (Get(b, 0, 2, err) != 0x5A4D) *err = "no MZ signature";
    size_t nt = Get(b, 0x3C, 4, err);
    if (err->empty() && Get(b, nt, 4, err) != 0x4550) *err = "no PE signature";
    if (!err->empty()) return;
    pe->machine = (uint16_t)Get(b, nt + 4, 2, err);
    uint32_t sectionCount = Get(b, nt + 6, 2, err);
    uint32_t optionalSize = Get(b, nt + 20, 2, err);
    size_t opt = nt + 24;
    pe->magic = (uint16_t)Get(b, opt, 2, err);
    pe->subsystem = (uint16_t)Get(b, opt + 68, 2, err);
    size_t dirs = opt + (pe->magic == 0x20B ? 112 : 96);
    uint32_t dirCount = Get(b, dirs - 4, 4, err);
    for (uint32_t i = 0; i < 16 && i < dirCount; i++) {
        pe->dirRva[i] = Get(b, dirs + 8 * i, 4, err);
        pe->dirSize[i] = Get(b, dirs + 8 * i + 4, 4, err);
    }
    size_t sec = opt + optionalSize;
    for (uint32_t i = 0; i < sectionCount && err->empty(); i++, sec += 40)
        pe->sections.push_back({Get(b, sec + 12, 4, err), Get(b, sec + 8, 4, err), Get(b, sec + 20, 4, err),
                                Get(b, sec + 16, 4, err)});
    if (!err->empty()) return;
    WalkResources(*pe);
    ReadImports(*pe);
}

std::vector<unsigned char> ResourceData(const PeImage& pe, const Resource& r) {
    size_t off = FileOffset(pe, r.rva, r.size);
    if (off == SIZE_MAX) return {};
    return std::vector<unsigned char>(pe.file.begin() + (long)off, pe.file.begin() + (long)(off + r.size));
}

std::vector<const Resource*> FindResources(const PeImage& pe, uint32_t typeId) {
    std::vector<const Resource*> found;
    for (const Resource& r : pe.resources)
        if (r.typeId == typeId) found.push_back(&r);
    return found;
}

// VS_VERSIONINFO blocks: length, value length, type, UTF-16 key, value, children, each aligned to 4 bytes.
struct VersionNode {
    std::string key;
    std::vector<unsigned char> value;
    std::string text;  // the value as ASCII when it is a string
    std::vector<VersionNode> children;
};

bool ParseVersionNode(const std::vector<unsigned char>& b, size_t off, size_t end, VersionNode* node, size_t* next) {
    std::string err;
    size_t length = Get(b, off, 2, &err), valueLength = Get(b, off + 2, 2, &err), type = Get(b, off + 4, 2, &err);
    if (!err.empty() || length < 6 || off + length > end) return false;
    size_t p = off + 6;
    for (uint32_t c; p + 2 <= off + length && (c = Get(b, p, 2, &err)) != 0; p += 2) node->key += (char)c;
    p = (p + 2 + 3) & ~(size_t)3;
    size_t valueBytes = type == 1 ? valueLength * 2 : valueLength;
    if (p + valueBytes > off + length) valueBytes = p < off + length ? off + length - p : 0;
    node->value.assign(b.begin() + (long)p, b.begin() + (long)(p + valueBytes));
    if (type == 1)
        for (size_t i = 0; i + 1 < valueBytes && (b[p + i] || b[p + i + 1]); i += 2) node->text += (char)b[p + i];
    p = (p + valueBytes + 3) & ~(size_t)3;
    while (p + 6 <= off + length) {
        VersionNode child;
        size_t after = 0;
        if (!ParseVersionNode(b, p, off + length, &child, &after)) return false;
        node->children.push_back(child);
        p = (after + 3) & ~(size_t)3;
    }
    *next = off + length;
    return true;
}

const VersionNode* Child(const VersionNode* node, const std::string& key) {
    if (!node) return NULL;
    for (const VersionNode& c : node->children)
        if (c.key == key) return &c;
    return NULL;
}

std::string Lower(std::string s) {
    for (char& c : s) c = (char)tolower((unsigned char)c);
    return s;
}

// The attributes of the first element named `tag`, as written between "<tag" and ">".
std::string ElementText(const std::string& xml, const std::string& tag) {
    size_t at = xml.find("<" + tag);
    if (at == std::string::npos) return "";
    size_t end = xml.find('>', at);
    return xml.substr(at, end == std::string::npos ? std::string::npos : end - at + 1);
}

struct ExeKind {
    const char* name;
    const char* path;
    uint16_t machine, magic;
    const char* arch;
};
void PrintTo(const ExeKind& kind, std::ostream* os) { *os << kind.name << " (" << kind.path << ")"; }
const ExeKind kRelease = {"release", VEQ_RELEASE_EXE, 0x14C, 0x10B, "x86"};
const ExeKind kWin64 = {"win64", VEQ_WIN64_EXE, 0x8664, 0x20B, "amd64"};

class LauncherExe : public ::testing::TestWithParam<ExeKind> {
  protected:
    void SetUp() override {
        static std::map<std::string, PeImage> loaded;
        const ExeKind& kind = GetParam();
        std::string dir(kind.path);
        dir = dir.substr(0, dir.rfind('/'));
        struct stat st;
        if (stat((dir + "/CMakeCache.txt").c_str(), &st) != 0)
            GTEST_SKIP() << "no Windows build at " << dir << " (scripts/build makes it)";
        if (!loaded.count(kind.path)) LoadPe(kind.path, &loaded[kind.path]);
        pe_ = &loaded[kind.path];
        ASSERT_TRUE(pe_->error.empty()) << kind.path << ": " << pe_->error;
    }
    const PeImage* pe_ = NULL;
};

TEST_P(LauncherExe, HeaderIsGuiForTheRightMachine) {
    EXPECT_EQ(pe_->machine, GetParam().machine);
    EXPECT_EQ(pe_->magic, GetParam().magic) << "0x10B is PE32, 0x20B PE32+";
    EXPECT_EQ(pe_->subsystem, 2) << "Windows GUI: no console window";
}

TEST_P(LauncherExe, ManifestAsksForAdministrator) {
    std::vector<const Resource*> manifests = FindResources(*pe_, kRtManifest);
    ASSERT_EQ(manifests.size(), 1u) << "exactly one application manifest";
    EXPECT_EQ(manifests[0]->name, "#1");
    EXPECT_EQ(manifests[0]->lang, kLangEnUs);
    std::vector<unsigned char> data = ResourceData(*pe_, *manifests[0]);
    std::string xml(data.begin(), data.end());
    ASSERT_FALSE(xml.empty());
    EXPECT_EQ(xml.find('\0'), std::string::npos) << "UTF-8, not UTF-16";
    EXPECT_NE(xml.find("manifestVersion=\"1.0\""), std::string::npos) << xml;

    std::string identity = ElementText(xml, "assemblyIdentity");
    for (std::string attr : {std::string("type=\"win32\""), std::string("name=\"VEQGames.Launcher\""),
                             std::string("version=\"2.0.0.0\""),
                             "processorArchitecture=\"" + std::string(GetParam().arch) + "\""})
        EXPECT_NE(identity.find(attr), std::string::npos) << attr << " missing in " << identity;

    EXPECT_NE(ElementText(xml, "trustInfo").find("urn:schemas-microsoft-com:asm.v3"), std::string::npos) << xml;
    std::string level = ElementText(xml, "requestedExecutionLevel");
    EXPECT_NE(level.find("level=\"requireAdministrator\""), std::string::npos) << level;
    EXPECT_NE(level.find("uiAccess=\"false\""), std::string::npos) << level;

    // Classic controls and no DPI or OS switches: none of these may appear.
    for (const char* banned : {"<dependency", "dpiaware", "<compatibility", "supportedos", "common-controls"})
        EXPECT_EQ(Lower(xml).find(banned), std::string::npos) << banned << " in\n" << xml;
}

TEST_P(LauncherExe, IconGroupHoldsSixBitmapImages) {
    const Resource* group = NULL;
    for (const Resource* r : FindResources(*pe_, kRtGroupIcon))
        if (r->name == "APPICON") group = r;
    ASSERT_TRUE(group) << "no icon group named APPICON";
    EXPECT_EQ(group->lang, kLangEnUs);
    std::vector<unsigned char> dir = ResourceData(*pe_, *group);
    std::string err;
    ASSERT_EQ(Get(dir, 2, 2, &err), 1u) << "GRPICONDIR type";
    uint32_t count = Get(dir, 4, 2, &err);
    ASSERT_EQ(count, 6u);

    std::vector<uint32_t> sizes;
    for (uint32_t i = 0; i < count; i++) {
        size_t e = 6 + 14 * (size_t)i;  // GRPICONDIRENTRY
        uint32_t width = Get(dir, e, 1, &err) ? Get(dir, e, 1, &err) : 256;
        uint32_t bits = Get(dir, e + 6, 2, &err), bytes = Get(dir, e + 8, 4, &err), id = Get(dir, e + 12, 2, &err);
        sizes.push_back(width);
        EXPECT_EQ(bits, 32u) << "image " << width;

        const Resource* image = NULL;
        for (const Resource* r : FindResources(*pe_, kRtIcon))
            if (r->name == "#" + std::to_string(id)) image = r;
        ASSERT_TRUE(image) << "no RT_ICON " << id << " for the " << width << "-pixel entry";
        std::vector<unsigned char> dib = ResourceData(*pe_, *image);
        EXPECT_EQ(dib.size(), bytes) << "image " << width;
        ASSERT_GE(dib.size(), 40u);
        EXPECT_NE(memcmp(dib.data(), "\x89PNG", 4), 0) << "image " << width << " is PNG, must be a DIB";
        EXPECT_EQ(Get(dib, 0, 4, &err), 40u) << "BITMAPINFOHEADER size, image " << width;
        EXPECT_EQ(Get(dib, 4, 4, &err), width);
        EXPECT_EQ(Get(dib, 8, 4, &err), 2 * width) << "height counts colour and mask, image " << width;
        EXPECT_EQ(Get(dib, 14, 2, &err), 32u) << "bits per pixel, image " << width;
        size_t maskRow = ((width + 31) / 32) * 4;
        EXPECT_GE(dib.size(), 40 + (size_t)width * width * 4 + maskRow * width) << "colour + mask, image " << width;
    }
    EXPECT_TRUE(err.empty()) << err;
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ(sizes, (std::vector<uint32_t>{16, 32, 48, 64, 128, 256}));
}

TEST_P(LauncherExe, VersionInfoNamesTheProduct) {
    std::vector<const Resource*> infos = FindResources(*pe_, kRtVersion);
    ASSERT_EQ(infos.size(), 1u);
    std::vector<unsigned char> data = ResourceData(*pe_, *infos[0]);
    VersionNode root;
    size_t next = 0;
    ASSERT_TRUE(ParseVersionNode(data, 0, data.size(), &root, &next)) << "malformed VS_VERSIONINFO";
    ASSERT_EQ(root.key, "VS_VERSION_INFO");
    std::string err;
    ASSERT_GE(root.value.size(), 52u) << "VS_FIXEDFILEINFO";
    EXPECT_EQ(Get(root.value, 0, 4, &err), 0xFEEF04BDu);
    EXPECT_EQ(Get(root.value, 8, 4, &err), 0x00020000u) << "file version 2.0";
    EXPECT_EQ(Get(root.value, 12, 4, &err), 0u) << "file version .0.0";
    EXPECT_EQ(Get(root.value, 16, 4, &err), 0x00020000u) << "product version 2.0";
    EXPECT_EQ(Get(root.value, 20, 4, &err), 0u) << "product version .0.0";

    const VersionNode* strings = Child(Child(&root, "StringFileInfo"), "040904b0");
    ASSERT_TRUE(strings) << "no StringFileInfo for 040904b0";
    const VersionNode* product = Child(strings, "ProductName");
    const VersionNode* version = Child(strings, "ProductVersion");
    ASSERT_TRUE(product && version);
    EXPECT_EQ(product->text, "VEQ Games Launcher");
    EXPECT_EQ(version->text, "2.0.0.0");
}

TEST_P(LauncherExe, ImportsOnlySystemDlls) {
    static const char* const kAllowed[] = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll",
                                           "shell32.dll", "winhttp.dll", "dbghelp.dll", "msvcrt.dll"};
    ASSERT_FALSE(pe_->importedDlls.empty());
    for (const std::string& dll : pe_->importedDlls) {
        std::string name = Lower(dll);
        bool ok = name.compare(0, 15, "api-ms-win-crt-") == 0;
        for (const char* a : kAllowed) ok = ok || name == a;
        EXPECT_TRUE(ok) << GetParam().name << " imports " << dll << " (runtime DLLs must be linked in statically)";
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, LauncherExe, ::testing::Values(kRelease, kWin64),
                         [](const ::testing::TestParamInfo<ExeKind>& info) { return std::string(info.param.name); });

}  // namespace
