#include "shell/shell.h"

// SEND LOG and SEND DUMP: filled in with the diagnostics upload.
void CmdSendLog(void) {}
void CmdSendDump(void) {}
