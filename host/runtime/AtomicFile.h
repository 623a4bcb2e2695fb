// A file that appears under its name whole or not at all: it is written under a temporary name
// in the same folder and renamed over the target only when the writer says it is complete. A
// failed or abandoned write removes the temporary and leaves whatever the target held before.
#pragma once

#include <string>

namespace host_runtime {

class AtomicFile {
public:
  // Reserves a fresh temporary name beside `target` (HostError Output when the folder cannot
  // hold it). Nothing is created under `target` itself until commit().
  explicit AtomicFile(const std::string& target);
  // Removes the temporary unless committed.
  ~AtomicFile();

  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  const std::string& target() const { return target_; }
  // Where the contents go until commit().
  const std::string& temporaryPath() const { return temporary_; }

  // Renames the temporary over the target (HostError Output when that fails; the temporary is
  // then removed).
  void commit();
  // Removes the temporary now; the target stays as it was.
  void discard();

private:
  std::string target_;
  std::string temporary_;
  bool pending_ = true;
};

// Writes `text` to `path` through an AtomicFile (HostError Output on failure).
void writeFileAtomically(const std::string& path, const std::string& text);

} // namespace host_runtime
