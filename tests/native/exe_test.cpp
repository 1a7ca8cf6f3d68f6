// Both built launchers as Windows will load them, read with binutils: format and machine, the GUI subsystem, the
// application manifest and the DLLs the loader must find.
#include <gtest/gtest.h>
#include <strings.h>

#include <filesystem>
#include <regex>
#include <string>

namespace {

// Matched ignoring case: the import table may name nothing else.
const char* const kAllowedDlls[] = {
    "KERNEL32.dll", "USER32.dll", "GDI32.dll", "ADVAPI32.dll", "SHELL32.dll", "msvcrt.dll",
    "WINHTTP.dll", "dbghelp.dll",  // until both are loaded at run time from the system directory: delete then
};

// The binutils for each, what objdump -f -p prints (format and machine, the optional header's magic), and the
// manifest's processorArchitecture. No unbounded repeats below: libstdc++ regex recurses per repetition.
const struct { const char *path, *tools, *format, *magic, *arch; } kExes[] = {
    {VEQ_RELEASE_EXE, "i686-w64-mingw32-", "file format pei-i386\narchitecture: i386,", "010b\t\\(PE32\\)", "x86"},
    {VEQ_WIN64_EXE, "x86_64-w64-mingw32-", "file format pei-x86-64\narchitecture: i386:x86-64,", "020b\t\\(PE32\\+\\)",
     "amd64"},
};

}  // namespace

TEST(LauncherExe, FormatManifestAndImports) {
    for (const auto& exe : kExes) {
        if (!std::filesystem::exists(std::filesystem::path(exe.path).parent_path() / "CMakeCache.txt"))
            GTEST_SKIP() << "no Windows build beside this one (scripts/build makes both)";
        // objdump's headers and imports, then the resources as rc text (quotes doubled).
        const std::string tools = exe.tools, quoted = std::string(" '") + exe.path + "'";
        std::string dump, command = tools + "objdump -f -p" + quoted + ";" + tools + "windres -J coff -Orc -i" + quoted;
        if (FILE* p = popen(command.c_str(), "r")) {
            char buf[65536];
            for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) dump.append(buf, n);
            pclose(p);
        }
        // The manifest CreateProcess reads is resource 1 of type 24.
        std::smatch manifest;
        std::regex_search(dump, manifest, std::regex("\n1 24 /\\* RT_MANIFEST \\*/\nBEGIN\n((?:.*\n){1,50}?)END\n"));
        const std::string xml = manifest.empty() ? "" : manifest[1].str();
        const struct { const std::string& text; std::string pattern; } kMust[] = {
            {dump, exe.format},
            {dump, std::string("\nMagic\t+") + exe.magic + "\n"},
            {dump, "\nSubsystem\t+00000002\t\\(Windows GUI\\)\n"},
            {dump, "\nEntry d 0+ 0+ Delay Import Directory"},  // delay-loaded DLLs would escape the list above
            {xml, "<requestedExecutionLevel[^>]* level=\"\"requireAdministrator\"\""},
            {xml, std::string("<assemblyIdentity[^>]* processorArchitecture=\"\"") + exe.arch + "\"\""},
        };
        for (const auto& m : kMust)
            EXPECT_TRUE(std::regex_search(m.text, std::regex(m.pattern)))
                << exe.path << " lacks " << testing::PrintToString(m.pattern);
        int dlls = 0;
        std::regex dllName("\tDLL Name: (\\S+)");
        for (std::sregex_iterator m(dump.begin(), dump.end(), dllName), end; m != end; ++m, ++dlls) {
            bool allowed = false;
            for (const char* a : kAllowedDlls) allowed = allowed || strcasecmp((*m)[1].str().c_str(), a) == 0;
            EXPECT_TRUE(allowed) << exe.path << " imports " << (*m)[1];
        }
        EXPECT_GT(dlls, 0) << exe.path << ": no import table read";
    }
}
