// The temporaries of this process that are not committed yet, where a signal handler can reach
// them: fixed storage, no locks, no allocation.
#pragma once

#include <string>

namespace host_runtime {

// An AtomicFile's temporary from its creation to its commit or removal. Paths longer than a slot
// holds, and more temporaries than there are slots, are not remembered.
void rememberLiveTemporary(const std::string& path);
void forgetLiveTemporary(const std::string& path);

// Removes every temporary of this process that is not committed yet. Safe in a signal handler:
// for a program that must end at once.
void removeOwnTemporariesNow();

} // namespace host_runtime
