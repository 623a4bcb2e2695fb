// The channels the node renders itself, for a host that treats the others of its output apart
// (the node fills them with 1): a host that supports it asks the plug-in by this exported name.
#include "DDImage/ChannelSet.h"
#include "op/FormatRules.h"
#include "op/Magnifex.h"

#if defined(_WIN32)
#define MAGNIFEX_EXPORT __declspec(dllexport)
#else
#define MAGNIFEX_EXPORT __attribute__((visibility("default")))
#endif

// 1 with the channels of `op` in its present settings, 0 for an op that is no node of this plug-in.
extern "C" MAGNIFEX_EXPORT int host_rendered_channels(const DD::Image::Op* op, DD::Image::ChannelSet* rendered)
{
  const Magnifex* node = dynamic_cast<const Magnifex*>(op);
  if (!node || !rendered)
    return 0;
  // What a whole render reads is what it renders.
  const bool alpha = magnifex::processing_alpha(node->settings().render_mode(), node->settings().material()) != 0;
  *rendered = magnifex::channels_to_read(DD::Image::Mask_RGB, DD::Image::Mask_All, alpha);
  return 1;
}
