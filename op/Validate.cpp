// Output format, input contexts and requests.
#include "op/Magnifex.h"

#include <algorithm>

#include "models/NetworkSet.h"
#include "op/FormatRules.h"
#include "op/ParameterRules.h"
#include "op/RenderSequence.h"
#include "render/sequence/PrerollFrames.h"

using namespace DD::Image;
using namespace magnifex;

void Magnifex::_validate(bool for_real)
{
  networks_->follow_details(settings_.details);

  for (const std::optional<std::string>& problem :
       {details_problem(settings_.details), patch_size_problem(settings_.max_size)})
    if (problem) {
      error("%s", problem->c_str());
      return;
    }

  Iop* in = input0();
  if (!in) {
    // Nothing to upscale: an empty output. Keeping the last info would scale it again and again.
    info_ = IopInfo();
    frame_.input_width = frame_.input_height = 0;
    frame_.output_format.set(0, 0, 0, 0);
    frame_.output_format.width(0);
    frame_.output_format.height(0);
    info_.format(frame_.output_format);
    info_.full_size_format(frame_.output_format);
    frame_.use_alpha = processing_alpha(settings_.render_mode(), settings_.material());
    return;
  }
  in->validate(for_real);
  frame_.input_first_frame = in->info().first_frame();
  frame_.input_last_frame = in->info().last_frame();
  copy_info();

  const Format& input_format = info_.format();
  const int f = settings_.scale_factor();
  // What the host's integer boxes cannot hold once scaled is refused rather than wrapped.
  if (const std::optional<std::string> problem = upscale_overflow(info_.box(), input_format, f)) {
    error("%s", problem->c_str());
    return;
  }
  frame_.input_width = input_format.r() - input_format.x();
  frame_.input_height = input_format.t() - input_format.y();
  const double pixel_aspect = input_format.pixel_aspect();
  if (settings_.render_mode() == RenderMode::Sequence && settings_.preroll > kMaxPreroll) {
    error("A preroll of %d frames is more than the %d frames Magnifex supports", settings_.preroll, kMaxPreroll);
    return;
  }

  const int frame = static_cast<int>(outputContext().frame());
  frame_.input_context_count = 1;
  if (settings_.render_mode() == RenderMode::Sequence)
    sequence_->validate(frame, settings_, frame_);
  for (int k = 1; k < usable_input_contexts(); ++k)
    if (Iop* in = input(k))
      in->validate(for_real);

  info_.set(info_.x() * f, info_.y() * f, info_.r() * f, info_.t() * f);

  frame_.output_format.set(0, 0, f * frame_.input_width, f * frame_.input_height);
  frame_.output_format.width(f * frame_.input_width);
  frame_.output_format.height(f * frame_.input_height);
  frame_.output_format.pixel_aspect(pixel_aspect);
  frame_.output_format.name("");
  info_.format(frame_.output_format);
  info_.full_size_format(frame_.output_format);

  frame_.use_alpha = processing_alpha(settings_.render_mode(), settings_.material());
}

int Magnifex::split_input(int n) const
{
  return n == 0 ? input_split_count(settings_.render_mode(), settings_.preroll) : 1;
}

const OutputContext& Magnifex::inputContext(int n, int offset, OutputContext& ctx) const
{
  ctx = outputContext();
  if (n != 0 || settings_.render_mode() == RenderMode::Still || settings_.preroll <= 0 || offset == 0)
    return ctx;
  const int frame = static_cast<int>(ctx.frame());
  ctx.setFrame(static_cast<double>(preroll_context_frame(frame, settings_.preroll, settings_.first_frame, offset)));
  return ctx;
}

const OutputContext* Magnifex::inputUIContext(int, OutputContext& ctx) const
{
  ctx = outputContext();
  return &ctx;
}

int Magnifex::usable_input_contexts() const
{
  // Frames before the first frame reflect into a window wider than the contexts the host made.
  return std::min(frame_.input_context_count, split_input(0));
}

void Magnifex::getRequests(const Box& box, const ChannelSet& channels, int count, RequestOutput& out) const
{
  const int f = settings_.scale_factor();
  const Box divided(divide_toward_zero(box.x(), f), divide_toward_zero(box.y(), f), divide_toward_zero(box.r(), f),
                    divide_toward_zero(box.t(), f));
  if (settings_.render_mode() == RenderMode::Still) {
    out.request(input0(), divided, channels, count);
    return;
  }
  for (int k = 0; k < usable_input_contexts(); ++k)
    out.request(input(k), divided, channels, count);
}
