#pragma once
// WinHTTP and DbgHelp, loaded at run time from the system directory only. Neither is one of the DLLs Windows
// always takes from there, and the launcher runs as administrator from a game folder that ordinary users can
// often write to: imported the usual way, a winhttp.dll dropped beside it would run with its rights.
#include <windows.h>
#include <winhttp.h>
#include <dbghelp.h>

struct WinHttpApi {
    decltype(&::WinHttpOpen) Open;
    decltype(&::WinHttpSetOption) SetOption;
    decltype(&::WinHttpSetTimeouts) SetTimeouts;
    decltype(&::WinHttpConnect) Connect;
    decltype(&::WinHttpOpenRequest) OpenRequest;
    decltype(&::WinHttpAddRequestHeaders) AddRequestHeaders;
    decltype(&::WinHttpSendRequest) SendRequest;
    decltype(&::WinHttpReceiveResponse) ReceiveResponse;
    decltype(&::WinHttpQueryHeaders) QueryHeaders;
    decltype(&::WinHttpReadData) ReadData;
    decltype(&::WinHttpCloseHandle) CloseHandle;
};

// NULL when winhttp.dll or one of its functions cannot be had from the system directory.
const WinHttpApi* WinHttp(void);
// NULL when dbghelp.dll cannot be had from the system directory.
decltype(&::MiniDumpWriteDump) MiniDumpWriter(void);
