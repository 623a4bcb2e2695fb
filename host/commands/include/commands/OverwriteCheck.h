// A command must never write over a file it reads: an output that is an input would be
// destroyed by the render that needs it.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "runtime/FramePattern.h"

namespace render_command {

// A file a command reads or writes, with the option that names it ("--input").
struct NamedFile {
  std::string option;
  std::string path;
};

// UsageError naming both when one of `outputs` resolves (symbolic links and "..", as far as the
// paths exist) to the same file as one of `inputs`.
void refuseOverwritingInputs(const std::vector<NamedFile>& inputs, const std::vector<NamedFile>& outputs);

// UsageError naming both when two of `outputs` resolve to the same file: one would replace the
// other (an image written over by the trace, a script lost).
void refuseOutputsNamingEachOther(const std::vector<NamedFile>& outputs);

// The files of `pattern` within `frames` that one of `files` names (the numbers in their names
// tried as frames), each as a NamedFile of `option`: what an output pattern would write over.
std::vector<NamedFile> patternFilesNamedBy(const std::vector<NamedFile>& files,
                                           const host_runtime::FramePattern& pattern, std::pair<int, int> frames,
                                           const std::string& option);

} // namespace render_command
