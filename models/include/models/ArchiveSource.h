// Where the networks' archives come from: the companion library in the plug-in; a test or the
// benchmark may hand out archives of its own.
#pragma once

#include <cstddef>

#include "models/ModelLibrary.h"

namespace magnifex {

struct ArchiveBytes {
  const void* data = nullptr;
  std::size_t size = 0;
};

class ArchiveSource {
public:
  virtual ~ArchiveSource() = default;
  // The archive of a model; no bytes when the source has none (loading them then fails).
  virtual ArchiveBytes archive(ModelCode code) const = 0;
};

// The getters the companion library exported, once resolve_model_symbols() has run.
class CompanionArchives : public ArchiveSource {
public:
  ArchiveBytes archive(ModelCode code) const override;
};

} // namespace magnifex
