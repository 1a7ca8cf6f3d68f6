#include "shell/shell.h"

// UPDATE CLIENT: filled in with the patch run.
void CmdUpdateClient(void) {}
