// Temporaries left by runs that were killed before they could remove them.
#pragma once

#include <string>

namespace host_runtime {

// Removes the temporaries in `folder` left by processes of this machine that no longer run (or
// whose process number now belongs to a process younger than the file). Returns how many.
int removeStaleTemporaries(const std::string& folder);

} // namespace host_runtime
