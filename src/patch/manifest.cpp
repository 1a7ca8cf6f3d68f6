#include "patch/patch.h"

// Placeholder until the manifest loader lands.
int FetchPatchManifest(void) { return 0; }
int LoadPatchManifest(PatchRelease*) { return 0; }
