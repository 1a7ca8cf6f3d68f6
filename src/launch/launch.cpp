#include "shell/shell.h"

// PLAY and PLAY (DEBUG): filled in with the game launch.
void CmdPlay(void) {}
void CmdPlayDebug(void) {}
