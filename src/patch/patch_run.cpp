#include "patch/patch.h"
#include "shell/shell.h"

// Placeholder until the patch run lands.
int RunPatch(void) { return 0; }
void CmdUpdateClient(void) {}
