// A file that appears under its name whole or not at all: it is written under a temporary name
// in the same folder and renamed over the target only when the writer says it is complete. A
// failed or abandoned write removes the temporary and leaves whatever the target held before.
//
// A target that is a link is written through it: the file the link names is replaced (its
// temporary beside that file) and the link stays. A folder, pipe, device or socket under the name
// is refused rather than replaced.
//
// Temporaries are named after the machine and the process that own them, so that a later run
// can tell those of a process that was killed (StaleTemporaries.h), and are kept where a signal
// handler can remove those of its own process (LiveTemporaries.h).
#pragma once

#include <cstddef>
#include <string>

namespace host_runtime {

class AtomicFile {
public:
  // Reserves a fresh temporary name beside `target` (HostError Output when the folder cannot
  // hold it, or the name stands for something that is not a file). Nothing is created under `target` itself until
  // commit().
  explicit AtomicFile(const std::string& target);
  // Removes the temporary unless committed.
  ~AtomicFile();

  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  const std::string& target() const { return target_; }
  // Where the contents go until commit().
  const std::string& temporaryPath() const { return temporary_; }

  // Writes `size` bytes as the temporary's whole contents with checked calls (HostError Output
  // naming the target and the reason, a full disk for one).
  void write(const void* data, std::size_t size);

  // Puts the temporary's contents on the disk and renames it over the target (HostError Output
  // when either fails; the temporary is then removed).
  void commit();
  // Removes the temporary now; the target stays as it was.
  void discard();

private:
  std::string target_;
  std::string destination_; // the target with its links followed
  std::string temporary_;
  bool pending_ = true;
};

// Writes `text` to `path` through an AtomicFile (HostError Output on failure).
void writeFileAtomically(const std::string& path, const std::string& text);

} // namespace host_runtime
