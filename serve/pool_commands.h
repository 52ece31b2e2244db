#pragma once
// ternis-serve's commands on the key pool alone, no boxes: --db-init,
// --pool-import, --pool-status and --pool-return. Each returns the exit status.

#include "serve/serve_options.h"

namespace ternis::serve {

// --db-init, --pool-import, and the pool commands on a database.
int DatabaseCommand(const ServeOptions& options);
// --pool-status and --pool-return, on a folder or a database.
int PoolCommand(const ServeOptions& options);

}  // namespace ternis::serve
