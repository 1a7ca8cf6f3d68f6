#include "shell/system_dlls.h"

#include "shell/shell.h"

// The full path, so no other folder is ever searched; its own dependencies are then looked for beside it.
static HMODULE LoadSystemDll(const char* name) {
    char path[kPathCap];
    UINT n = GetSystemDirectoryA(path, sizeof path);
    if (n == 0 || n >= sizeof path || !JoinFits(sizeof path, path, name)) return NULL;
    FormatBounded(path + n, sizeof path - n, "\\%s", name);
    return LoadLibraryExA(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
}

template <typename F>
static int Take(HMODULE dll, const char* name, F* out) {
    *out = dll ? (F)(void*)GetProcAddress(dll, name) : NULL;
    return *out != NULL;
}

static int LoadWinHttp(WinHttpApi* a) {
    HMODULE dll = LoadSystemDll("winhttp.dll");
    return Take(dll, "WinHttpOpen", &a->Open) && Take(dll, "WinHttpSetOption", &a->SetOption) &&
           Take(dll, "WinHttpSetTimeouts", &a->SetTimeouts) && Take(dll, "WinHttpConnect", &a->Connect) &&
           Take(dll, "WinHttpOpenRequest", &a->OpenRequest) &&
           Take(dll, "WinHttpAddRequestHeaders", &a->AddRequestHeaders) &&
           Take(dll, "WinHttpSendRequest", &a->SendRequest) &&
           Take(dll, "WinHttpReceiveResponse", &a->ReceiveResponse) &&
           Take(dll, "WinHttpQueryHeaders", &a->QueryHeaders) && Take(dll, "WinHttpReadData", &a->ReadData) &&
           Take(dll, "WinHttpCloseHandle", &a->CloseHandle);
}

const WinHttpApi* WinHttp(void) {
    static WinHttpApi api;
    static const int loaded = LoadWinHttp(&api);  // once, whichever thread asks first
    return loaded ? &api : NULL;
}

decltype(&::MiniDumpWriteDump) MiniDumpWriter(void) {
    static decltype(&::MiniDumpWriteDump) writer;
    static const int loaded = Take(LoadSystemDll("dbghelp.dll"), "MiniDumpWriteDump", &writer);
    return loaded ? writer : NULL;
}
