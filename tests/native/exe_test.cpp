// Both built launchers as Windows loads them, read with binutils: PE32(+), GUI, manifest and imported DLLs.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

// The binutils for each, the optional header's magic objdump -p prints, and the manifest's processorArchitecture.
// No unbounded repeats below: libstdc++ regex recurses per repetition.
static const struct { const char *path, *tools, *magic, *arch; } kExes[] = {
    {VEQ_RELEASE_EXE, "i686-w64-mingw32-", "010b\t\\(PE32\\)", "x86"},
    {VEQ_WIN64_EXE, "x86_64-w64-mingw32-", "020b\t\\(PE32\\+\\)", "amd64"},
};

TEST(LauncherExe, FormatManifestAndImports) {
    // The import table may name nothing else (all of them known DLLs): winhttp.dll and dbghelp.dll are loaded at run
    // time from the system directory, never found beside the exe.
    const std::regex allowedDll("(KERNEL32|USER32|GDI32|ADVAPI32|SHELL32|ole32|OLEAUT32|msvcrt)\\.dll", std::regex::icase);
    for (const auto& exe : kExes) {
        if (!std::filesystem::exists(std::filesystem::path(exe.path).parent_path() / "CMakeCache.txt"))
            GTEST_SKIP() << "no Windows build beside this one (scripts/build makes both)";
        // objdump's headers and imports, then the resources as rc text (quotes doubled).
        const std::string tools = exe.tools, quoted = std::string(" '") + exe.path + "'";
        std::string dump, command = tools + "objdump -p" + quoted + ";" + tools + "windres -J coff -Orc -i" + quoted;
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
            {dump, std::string("\nMagic\t+") + exe.magic + "\n"},
            {dump, "\nSubsystem\t+00000002\t\\(Windows GUI\\)\n"},
            {dump, "\nEntry d 0+ 0+ Delay Import Directory"},  // delay-loaded DLLs would escape the list below
            {dump, "\tDLL Name: KERNEL32\\.dll\n"},             // so the import table was read
            {xml, "<requestedExecutionLevel[^>]* level=\"\"requireAdministrator\"\""},
            {xml, std::string("<assemblyIdentity[^>]* processorArchitecture=\"\"") + exe.arch + "\"\""},
        };
        for (const auto& m : kMust)
            EXPECT_TRUE(std::regex_search(m.text, std::regex(m.pattern)))
                << exe.path << " lacks " << testing::PrintToString(m.pattern);
        const std::regex dllName("\tDLL Name: (\\S+)");
        for (std::sregex_iterator m(dump.begin(), dump.end(), dllName), end; m != end; ++m)
            EXPECT_TRUE(std::regex_match((*m)[1].str(), allowedDll)) << exe.path << " imports " << (*m)[1];
    }
}
