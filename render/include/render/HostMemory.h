// Handing freed heap memory back to the system between network passes.
#pragma once

namespace magnifex {

// The allocator keeps the pages of a pass's freed activations (tens of megabytes each at 4x) and
// reuses them badly for the next pass's differently sized ones, so a render's resident memory
// creeps up patch by patch. Returning them costs well under a millisecond. No-op where the C
// library offers no way to.
void return_free_memory();

} // namespace magnifex
