#pragma once
// Forces BishopIP, BishopPort and initialVer in autoupdate.ini. 1 when the file was replaced.
int RewriteClientConfig(void);
