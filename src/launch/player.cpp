// Starting a program with the player's own rights rather than the launcher's: the facts that decide it, the
// player's token, and the desktop's shell.
#include "launch/launch.h"

#include <ole2.h>
#include <exdisp.h>
#include <shldisp.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <tlhelp32.h>

#include "shell/disk.h"
#include "shell/shell.h"

enum {
    kSecurityCap = 4096,           // one file's owner, group, DACL and label
    kShellStartWaitMs = 120000,    // how long the player may take over Windows' prompt before a debug start gives up
    kShellPollMs = 100,
};

// What lets a token put another program where the client is, object by object along its path.
static const struct {
    const char* name;  // under the install folder; "" is the folder itself
    DWORD rights;
} kClientPath[] = {
    {"", FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER},  // System deleted or renamed from above
    {kClientFolder, DELETE | FILE_ADD_FILE | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER},
    {kClientExe, FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER},
};

// 1 when `token` (an impersonation token) holds any of `rights` on the object at `path`, 0 when it holds none, -1
// when that cannot be told. A link cannot be told: the object checked would not be the one it names.
static int MayChange(HANDLE token, const char* path, DWORD rights) {
    DWORD security[kSecurityCap / sizeof(DWORD)];  // aligned as a descriptor must be
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    PRIVILEGE_SET privileges;
    DWORD need = 0, privilegesSize = sizeof privileges, granted = 0;
    BOOL allowed = FALSE;
    BY_HANDLE_FILE_INFORMATION info;
    int may = -1;
    HANDLE h = DiskOpenRead(path, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
    if (h == INVALID_HANDLE_VALUE) return -1;
    if (GetFileInformationByHandle(h, &info) && !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
        GetKernelObjectSecurity(h, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                       LABEL_SECURITY_INFORMATION, security, sizeof security, &need) &&
        AccessCheck(security, token, MAXIMUM_ALLOWED, &mapping, &privileges, &privilegesSize, &granted, &allowed))
        may = allowed && (granted & rights) != 0;
    CloseHandle(h);
    return may;
}

void ReadStartFacts(StartFacts* f, int browser) {
    // What cannot be read counts against the launcher's token: elevated, with a player who may have swapped.
    StartFacts facts = {1, 1, -1, VEQ_CLIENT_INHERITS_ADMIN, browser};
    HANDLE self = NULL, player = NULL;
    TOKEN_ELEVATION elevation;
    TOKEN_ELEVATION_TYPE type;
    TOKEN_LINKED_TOKEN link;
    DWORD n;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &self) &&
        GetTokenInformation(self, TokenElevation, &elevation, sizeof elevation, &n) &&
        GetTokenInformation(self, TokenElevationType, &type, sizeof type, &n)) {
        facts.elevated = elevation.TokenIsElevated != 0;
        facts.linkedToken = type == TokenElevationTypeFull;
    }
    if (!browser && facts.linkedToken && GetTokenInformation(self, TokenLinkedToken, &link, sizeof link, &n)) {
        if (DuplicateTokenEx(link.LinkedToken, TOKEN_QUERY, NULL, SecurityIdentification, TokenImpersonation, &player)) {
            facts.playerMayReplace = 0;
            for (const auto& o : kClientPath) {
                char path[kPathCap];
                if (*o.name) InstallPath(path, o.name);
                else FormatBounded(path, sizeof path, "%s", g_shell.installDir);
                int may = MayChange(player, path, o.rights);
                if (may == 1 || facts.playerMayReplace == 0) facts.playerMayReplace = may;  // yes, else unknown, else no
            }
            CloseHandle(player);
        }
        CloseHandle(link.LinkedToken);
    }
    if (self) CloseHandle(self);
    *f = facts;
}

// The player's own non-elevated token as a primary token to start a program with; NULL when there is none.
static HANDLE PlayerToken(void) {
    const DWORD rights = TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY | TOKEN_ADJUST_DEFAULT |
                         TOKEN_ADJUST_SESSIONID;
    HANDLE self = NULL, shell = NULL, shellToken = NULL, primary = NULL;
    TOKEN_LINKED_TOKEN link = {NULL};
    TOKEN_STATISTICS linkedStats, shellStats;
    TOKEN_ELEVATION_TYPE type;
    DWORD n, pid = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &self) ||
        !GetTokenInformation(self, TokenLinkedToken, &link, sizeof link, &n))
        goto done;
    // Windows hands the linked token out as more than an identification token only to holders of SeTcbPrivilege
    // (Wine to anyone).
    if (DuplicateTokenEx(link.LinkedToken, rights, NULL, SecurityImpersonation, TokenPrimary, &primary)) goto done;
    // Otherwise the desktop's shell runs with it: the same logon session, and not elevated.
    GetWindowThreadProcessId(GetShellWindow(), &pid);
    if (pid && (shell = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)) &&
        OpenProcessToken(shell, TOKEN_QUERY | TOKEN_DUPLICATE, &shellToken) &&
        GetTokenInformation(shellToken, TokenElevationType, &type, sizeof type, &n) &&
        type == TokenElevationTypeLimited &&
        GetTokenInformation(link.LinkedToken, TokenStatistics, &linkedStats, sizeof linkedStats, &n) &&
        GetTokenInformation(shellToken, TokenStatistics, &shellStats, sizeof shellStats, &n) &&
        linkedStats.AuthenticationId.LowPart == shellStats.AuthenticationId.LowPart &&
        linkedStats.AuthenticationId.HighPart == shellStats.AuthenticationId.HighPart)
        DuplicateTokenEx(shellToken, rights, NULL, SecurityImpersonation, TokenPrimary, &primary);
done:
    if (shellToken) CloseHandle(shellToken);
    if (shell) CloseHandle(shell);
    if (link.LinkedToken) CloseHandle(link.LinkedToken);
    if (self) CloseHandle(self);
    return primary;
}

static void Widen(wchar_t* out, const char* in) {
    if (!MultiByteToWideChar(CP_ACP, 0, in, -1, out, kPathCap)) out[0] = L'\0';
}

int StartAsPlayer(const char* exePath, const char* cmdLine, const char* dir, DWORD flags, PROCESS_INFORMATION* pi) {
    wchar_t exe[kPathCap], cmd[kPathCap], cwd[kPathCap];
    STARTUPINFOW si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    HANDLE token = PlayerToken();
    if (!token) {
        SetLastError(ERROR_NO_TOKEN);
        return 0;
    }
    Widen(exe, exePath), Widen(cmd, cmdLine), Widen(cwd, dir);
    // CreateProcessAsUserW needs SeAssignPrimaryTokenPrivilege for a token not made from ours, so on Windows it
    // mostly fails that way; CreateProcessWithTokenW (the secondary logon service) then starts it. Wine's
    // CreateProcessWithTokenW ignores the token, its CreateProcessAsUserW does not.
    int ok = CreateProcessAsUserW(token, exe, cmd, NULL, NULL, FALSE, flags, NULL, cwd, &si, pi) ||
             (GetLastError() == ERROR_PRIVILEGE_NOT_HELD &&
              CreateProcessWithTokenW(token, 0, exe, cmd, flags, NULL, cwd, &si, pi));
    DWORD error = GetLastError();
    CloseHandle(token);
    SetLastError(error);
    return ok;
}

static VARIANT Text(const char* s) {
    wchar_t w[kPathCap];
    Widen(w, s);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(w);
    return v;
}

static VARIANT Number(long n) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = n;
    return v;
}

// The shell's own ShellExecute, reached through the desktop's folder view: IShellWindows -> desktop -> browser ->
// view -> IShellFolderViewDual -> IShellDispatch2.
int StartThroughShell(const char* file, const char* args, const char* dir, DWORD* shellPid) {
    HRESULT init = CoInitializeEx(NULL, COINIT_APARTMENTTHREADED), hr;
    IShellWindows* windows = NULL;
    IDispatch *desktop = NULL, *background = NULL, *application = NULL;
    IServiceProvider* services = NULL;
    IShellBrowser* browser = NULL;
    IShellView* view = NULL;
    IShellFolderViewDual* folder = NULL;
    IShellDispatch2* shell = NULL;
    VARIANT where = Number(CSIDL_DESKTOP), none, name = Text(file), vArgs = Text(args), vDir = Text(dir),
            verb = Text("open"), show = Number(SW_SHOWNORMAL);
    long hwnd = 0;
    VariantInit(&none);
    hr = CoCreateInstance(CLSID_ShellWindows, NULL, CLSCTX_LOCAL_SERVER, IID_IShellWindows, (void**)&windows);
    if (SUCCEEDED(hr)) hr = windows->FindWindowSW(&where, &none, SWC_DESKTOP, &hwnd, SWFO_NEEDDISPATCH, &desktop);
    if (SUCCEEDED(hr) && !desktop) hr = E_FAIL;  // S_FALSE: no desktop window
    if (SUCCEEDED(hr)) hr = desktop->QueryInterface(IID_IServiceProvider, (void**)&services);
    if (SUCCEEDED(hr)) hr = services->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, (void**)&browser);
    if (SUCCEEDED(hr)) hr = browser->QueryActiveShellView(&view);
    if (SUCCEEDED(hr)) hr = view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, (void**)&background);
    if (SUCCEEDED(hr)) hr = background->QueryInterface(IID_IShellFolderViewDual, (void**)&folder);
    if (SUCCEEDED(hr)) hr = folder->get_Application(&application);
    if (SUCCEEDED(hr)) hr = application->QueryInterface(IID_IShellDispatch2, (void**)&shell);
    if (SUCCEEDED(hr)) hr = shell->ShellExecute(name.bstrVal, vArgs, vDir, verb, show);
    if (SUCCEEDED(hr)) GetWindowThreadProcessId((HWND)(LONG_PTR)hwnd, shellPid);
    IUnknown* held[] = {shell, application, folder, background, view, browser, services, desktop, windows};
    for (IUnknown* p : held)
        if (p) p->Release();
    VariantClear(&name), VariantClear(&vArgs), VariantClear(&vDir), VariantClear(&verb);
    if (SUCCEEDED(init)) CoUninitialize();
    SetLastError(HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr) : (DWORD)hr);
    return SUCCEEDED(hr);
}

int AttachStartedByShell(const char* exePath, DWORD shellPid, const FILETIME* since, PROCESS_INFORMATION* pi) {
    ZeroMemory(pi, sizeof *pi);
    for (DWORD start = GetTickCount(); GetTickCount() - start < kShellStartWaitMs && !g_shell.closeRequested;
         Sleep(kShellPollMs)) {
        HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32 e;
        e.dwSize = sizeof e;
        for (BOOL more = snap != INVALID_HANDLE_VALUE && Process32First(snap, &e); more && !pi->hProcess;
             more = Process32Next(snap, &e)) {
            if (e.th32ParentProcessID != shellPid || !EqualsNoCase(e.szExeFile, kClientExeName)) continue;
            HANDLE p = OpenProcess(PROCESS_ALL_ACCESS, FALSE, e.th32ProcessID);
            char image[kPathCap];
            DWORD size = sizeof image;
            FILETIME created, unused[3];
            if (p && QueryFullProcessImageNameA(p, 0, image, &size) && EqualsNoCase(image, exePath) &&
                GetProcessTimes(p, &created, &unused[0], &unused[1], &unused[2]) &&
                CompareFileTime(&created, since) >= 0 && DebugActiveProcess(e.th32ProcessID)) {
                pi->hProcess = p;
                pi->dwProcessId = e.th32ProcessID;
            } else if (p) {
                CloseHandle(p);
            }
        }
        if (snap != INVALID_HANDLE_VALUE) CloseHandle(snap);
        if (pi->hProcess) return 1;
    }
    return 0;
}
