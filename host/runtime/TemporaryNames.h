// How temporaries of an AtomicFile are named: the commit makes the names, the clean-up of dead
// runs reads them back. ".<target name>.<machine>-<process>-<count>-<attempt>.tmp".
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace host_runtime {

long processId();

// The machine's name as it can stand in a file name: letters, digits and '_' (a shared folder
// on a farm holds temporaries of several machines, whose process numbers mean nothing here).
const std::string& machineName();

// A fresh temporary name for `target` (hidden, matched by no frame pattern of the target: it ends
// in .tmp, not in the target's extension). A target name near the `longest` the folder takes is
// cut short in it, so that every name that can be written can be written this way.
std::string temporaryName(const std::filesystem::path& target, unsigned attempt, std::size_t longest);

struct TemporaryOwner {
  std::string machine;
  long process = 0;
};

// The owner named by a temporary's name, if it is one of ours.
bool parseTemporaryName(const std::string& name, TemporaryOwner& owner);

} // namespace host_runtime
