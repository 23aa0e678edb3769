// The fork-handler registry on Windows: there is no fork, so no handler can
// ever be due. Additions succeed and are dropped.
#include "os/fork_handlers.h"

namespace graphripple::detail {

bool add_fork_handlers(ForkHandler, ForkHandler, ForkHandler) { return true; }

}  // namespace graphripple::detail
