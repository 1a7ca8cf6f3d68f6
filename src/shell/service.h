#pragma once
// Fixed values of the service and of the game client, named once for the launcher, its rules and the operator's
// tools. Windows-free.

static const char kServiceHost[] = VEQ_SERVICE_HOST;  // patch server, upload endpoint, registration, login server
static const char kLoginPort[] = "7451";
static const char kClientFolder[] = "System";        // under the install directory
static const char kClientExeName[] = "ZQ.exe";
static const char kClientExe[] = "System\\ZQ.exe";    // kClientFolder + '\' + kClientExeName
static const char kFolderTooLong[] = "Folder game terlalu panjang. Pindahkan game ke folder yang lebih pendek.";
