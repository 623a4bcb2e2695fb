// Host side only: the node of the graph an op is built for. Plug-ins see it as an opaque Node*.
#pragma once

#include <string>
#include <utility>

#include "DDImage/DDImage_API.h"

namespace DD {
namespace Image {

class DDImage_API Node {
public:
  explicit Node(std::string name) : name_(std::move(name)) {}

  const std::string& name() const { return name_; }
  void rename(std::string name) { name_ = std::move(name); }

private:
  std::string name_;
};

} // namespace Image
} // namespace DD
