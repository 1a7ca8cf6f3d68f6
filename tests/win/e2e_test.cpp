// The operator's path end to end: the demo client published by veq-publish at build time (native/tools/demo),
// served over HTTPS, and the real launcher bringing an older install, or an empty folder, up to it, then sending
// its log. Against the test server here; the operator test nginx-edge runs EndToEnd.* against nginx at the edge
// (VEQ_E2E_UPLOADS names the Unix folder where its upload receiver stores files).
#include <algorithm>

#include "support.h"

namespace {

std::string Demo(const std::string& rel) {
    std::string bin = BinDir();
    return In(bin.substr(0, bin.rfind('\\')), "native/tools/demo/" + rel);
}

// The entries of the published manifest whose file in `dir` does not have the published digest.
std::string Mismatches(const std::string& dir, int* entries) {
    std::string text = Read(Demo("release/patch/manifest.tsv")), bad;
    *entries = 0;
    for (size_t pos = text.find('\n') + 1, end; (end = text.find('\n', pos)) != std::string::npos; pos = end + 1) {
        std::string line = text.substr(pos, end - pos), path = line.substr(line.rfind('\t') + 1);
        ++*entries;
        if (Sha256(Read(In(dir, path))) != line.substr(0, 64)) bad += path + " ";
    }
    return bad;
}

TEST(EndToEnd, PublishedReleaseUpdatesAnOldInstallAndAnEmptyFolderThenTheLogIsSent) {
    const char* edgeUploads = getenv("VEQ_E2E_UPLOADS");
    std::string uploads = FreshDir("-uploads");
    if (!edgeUploads) ASSERT_TRUE(ServeRelease(Demo("release")) && Ctl("POST /ctl/uploads?dir=" + UnixPath(uploads)));
    std::string where = edgeUploads ? "Z:" + std::string(edgeUploads) : uploads;
    std::replace(where.begin(), where.end(), '/', '\\');
    size_t stored = List(where).size();
    for (bool old : {true, false}) {
        SCOPED_TRACE(old ? "an older install" : "an empty folder");
        std::string dir = FreshDir(old ? "-old" : "-empty");
        if (old) ASSERT_EQ(RunUnix("cp -R '" + UnixPath(Demo("client-old")) + "/.' '" + UnixPath(dir) + "'", dir), 0);
        else ASSERT_TRUE(Write(dir + "\\autoupdate.ini", "BishopIP=1.2.3.4\r\n"));
        LauncherProcess launcher;
        ASSERT_TRUE(launcher.Start(dir));
        launcher.Click(1003);
        EXPECT_EQ(launcher.Status(), "Patched: 3 baris (Bishop 127.0.0.1:7451)");
        int entries = 0;
        EXPECT_EQ(Mismatches(dir, &entries), "");
        EXPECT_EQ(Read(In(dir, "patch-cache/manifest.tsv")), Read(Demo("release/patch/manifest.tsv")));
        ASSERT_TRUE(Write(In(dir, "System/ZQ.log"), "played " + std::to_string(entries)));
        launcher.Click(1006);
        EXPECT_EQ(launcher.Status(), "Dihantar: zqlog (" + std::to_string(7 + std::to_string(entries).size()) + " B)");
    }
    EXPECT_EQ(List(where).size(), stored + 2) << "both logs stored in " << where;
}

}  // namespace
