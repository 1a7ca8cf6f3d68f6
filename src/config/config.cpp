#include "config/config.h"

// Placeholder until the configuration rewrite lands.
int RewriteClientConfig(void) { return 0; }
