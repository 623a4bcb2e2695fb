#include "models/ArchiveSource.h"

namespace magnifex {

ArchiveBytes CompanionArchives::archive(ModelCode code) const
{
  ArchiveBytes bytes;
  if (ModelGetter getter = model_getter(code)) {
    std::size_t size = 0;
    bytes.data = getter(&size);
    bytes.size = size;
  }
  return bytes;
}

} // namespace magnifex
