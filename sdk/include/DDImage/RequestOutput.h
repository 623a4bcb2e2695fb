#pragma once

#include <vector>

#include "Box.h"
#include "ChannelSet.h"
#include "DDImage_API.h"

namespace DD {
namespace Image {

class Iop;

// One region of one input that a render will read.
struct DDImage_API RequestData {
  RequestData(Iop* op, const Box& box, const ChannelSet& channels, int count)
      : op(op), box(box), channels(channels), count(count)
  {}
  Iop* op;
  Box box;
  ChannelSet channels;
  int count;
};

// Collects the requests an op makes of its inputs.
class DDImage_API RequestOutput {
public:
  void request(Iop* op, const Box& box, const ChannelSet& channels, int count)
  {
    requests_.emplace_back(op, box, channels, count);
  }
  void request(const RequestData& r) { requests_.push_back(r); }
  const std::vector<RequestData>& requests() const { return requests_; }

private:
  std::vector<RequestData> requests_;
};

} // namespace Image
} // namespace DD
