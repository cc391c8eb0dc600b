#include "cli/ProcessSetup.h"

namespace sparwick::cli {

// Nothing to do on Windows: a port handle never takes the place of a missing standard
// handle, writes to one simply fail, and there is no SIGPIPE.
void prepareProcess() {}

} // namespace sparwick::cli
