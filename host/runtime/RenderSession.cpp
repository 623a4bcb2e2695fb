#include "runtime/RenderSession.h"

#include <algorithm>
#include <exception>
#include <new>
#include <set>
#include <string>

#include "DDImage/PlanarIop.h"
#include "DDImage/RequestOutput.h"
#include "DDImageHost/OpControl.h"
#include "DDImageHost/Planes.h"
#include "runtime/HostNode.h"
#include "runtime/SourceOp.h"

namespace host_runtime {
namespace {

namespace ddh = DD::Image::host;

bool traced()
{
  return ddh::hasEventListeners();
}

// Runs one of the op's calls; what it throws becomes the op's error, as the host reports it.
template <typename Call>
void guarded(DD::Image::Op& op, const char* stage, Call call)
{
  try {
    call();
  } catch (const std::bad_alloc&) {
    op.error("not enough memory in %s", stage);
  } catch (const std::exception& e) {
    op.error("uncaught exception in %s: %s", stage, e.what());
  }
}

} // namespace

RenderSession::RenderSession(HostNode& node, std::shared_ptr<const ImageSource> input)
    : node_(node), input_(std::move(input))
{
  listener_ = ddh::addEventListener([this](const ddh::Event& e) { onEvent(e); });
}

RenderSession::~RenderSession()
{
  ddh::removeEventListener(listener_);
  close();
  ddh::connectInputs(node_.op(), {});
}

// An input that fails fails the whole render, as in the host: the node is aborted. The node's
// progress goes to the caller.
void RenderSession::onEvent(const ddh::Event& e)
{
  if (e.type == "error" && e.op != &node_.op()) {
    for (const auto& entry : sources_)
      if (e.op == entry.second.get())
        ddh::requestAbort(node_.op());
  } else if (e.type == "progress" && e.op == &node_.op() && progress_) {
    if (const auto* fraction = e.find("fraction"))
      if (const double* v = std::get_if<double>(fraction))
        progress_(frame_, *v);
  }
}

void RenderSession::connectInputsAt(double frame)
{
  FrameResult ignored;
  connect(frame, ignored);
}

void RenderSession::connect(double frame, FrameResult& result)
{
  DD::Image::Iop& op = node_.op();
  frame_ = frame;
  DD::Image::OutputContext context;
  context.setFrame(frame);
  ddh::setOutputContext(op, context);
  if (traced())
    ddh::emit(ddh::Event("output_context", &op)); // the line's frame is the new one

  const int split = op.split_input(0);
  if (traced())
    ddh::emit(ddh::Event("split_input", &op).with("input", 0).with("count", split));
  result.splitCount = split;
  result.contextFrames.clear();
  contexts_.clear();
  std::set<double> used;
  // A node asking for no context at all still gets its one input.
  for (int k = 0; k < std::max(split, 1); ++k) {
    DD::Image::OutputContext c;
    const double f = op.inputContext(0, k, c).frame();
    if (traced())
      ddh::emit(ddh::Event("input_context", &op).with("input", 0).with("offset", k).with("context_frame", f));
    result.contextFrames.push_back(f);
    if (!input_)
      continue;
    std::unique_ptr<SourceOp>& source = sources_[f];
    if (!source) {
      source = std::make_unique<SourceOp>(&sourceNode_, input_);
      DD::Image::OutputContext sc;
      sc.setFrame(f);
      ddh::setOutputContext(*source, sc);
    }
    contexts_.push_back(source.get());
    used.insert(f);
  }
  // Contexts no longer asked for go away, as the host drops ops it no longer needs.
  for (auto it = sources_.begin(); it != sources_.end();) {
    if (used.count(it->first)) {
      ++it;
    } else {
      it->second->close();
      it = sources_.erase(it);
    }
  }
  std::vector<DD::Image::Op*> contexts(contexts_.begin(), contexts_.end());
  ddh::connectInputs(op, input_ ? std::vector<std::vector<DD::Image::Op*>>{contexts}
                                : std::vector<std::vector<DD::Image::Op*>>{});
}

// The status of a pass: an input's error first (a node failing because its input did fails for
// that reason), then the node's, then an abort.
void RenderSession::finish(FrameResult& result) const
{
  const DD::Image::Iop& op = node_.op();
  for (const auto& entry : sources_) {
    if (ddh::hasError(*entry.second)) {
      result.status = FrameStatus::Failed;
      result.inputFailed = true;
      result.error = entry.second->node_name() + ": " + ddh::errorText(*entry.second);
      return;
    }
  }
  if (ddh::hasError(op)) {
    result.status = FrameStatus::Failed;
    result.error = node_.name() + ": " + ddh::errorText(op);
    return;
  }
  result.status = op.aborted() ? FrameStatus::Aborted : FrameStatus::Ok;
}

FrameResult RenderSession::validateFrame(double frame, const RenderOptions& options)
{
  DD::Image::Iop& op = node_.op();
  FrameResult result;
  result.frame = frame;
  ddh::beginRender(op);
  for (auto& entry : sources_)
    ddh::beginRender(*entry.second);
  connect(frame, result);
  guarded(op, "validation", [&] { op.validate(true); });
  result.format = op.format();
  result.box = op.info().box();
  result.channels = op.channels();
  result.firstFrame = op.info().first_frame();
  result.lastFrame = op.info().last_frame();
  finish(result);
  if (result.status != FrameStatus::Ok)
    return result;

  const DD::Image::Box box = options.box.value_or(result.box);
  const DD::Image::ChannelSet channels = options.channels.value_or(result.channels);
  DD::Image::RequestOutput out;
  op.getRequests(box, channels, 1, out);
  for (const DD::Image::RequestData& r : out.requests()) {
    InputRequest request;
    for (int i = 0; i < op.inputs(); ++i)
      if (op.Op::input(i) == r.op) {
        request.input = i;
        break;
      }
    request.frame = r.op ? r.op->outputContext().frame() : 0.0;
    request.box = r.box;
    request.channels = r.channels;
    request.count = r.count;
    result.requests.push_back(request);
    if (traced())
      ddh::emit(ddh::Event("input_request", &op)
                  .with("input", request.input)
                  .with("input_frame", request.frame)
                  .with("box", r.box)
                  .with("channels", r.channels)
                  .with("count", r.count));
    if (r.op)
      r.op->request(r.box, r.channels, r.count);
  }
  return result;
}

FrameResult RenderSession::renderFrame(double frame, const RenderOptions& options)
{
  FrameResult result = validateFrame(frame, options);
  if (result.status != FrameStatus::Ok || options.validateOnly)
    return result;
  DD::Image::Iop& op = node_.op();
  guarded(op, "open", [&] { op.open(); });
  finish(result);
  if (result.status != FrameStatus::Ok)
    return result;

  const DD::Image::Box box = options.box.value_or(result.box);
  const DD::Image::ChannelSet channels = options.channels.value_or(result.channels);
  try {
    result.plane = std::make_shared<DD::Image::ImagePlane>(box, true, channels, int(channels.size()));
  } catch (const std::bad_alloc&) {
    op.error("not enough memory for the output of %d x %d pixels of %d channels", box.w(), box.h(),
             int(channels.size()));
    finish(result);
    return result;
  }
  if (traced())
    ddh::emit(ddh::Event("render_start", &op).with("box", box).with("channels", channels));
  guarded(op, "render", [&] {
    if (auto* planar = dynamic_cast<DD::Image::PlanarIop*>(&op))
      ddh::renderPlane(*planar, *result.plane);
    else
      op.fetchPlane(*result.plane);
  });
  finish(result);
  result.pixelsWritten = ddh::wasWritten(*result.plane);
  if (traced()) {
    const char* status = result.status == FrameStatus::Ok       ? "ok"
                         : result.status == FrameStatus::Failed ? "failed"
                                                                : "aborted";
    ddh::emit(ddh::Event("render_end", &op)
                .with("status", status)
                .with("error", result.error)
                .with("pixels_written", result.pixelsWritten));
  }
  return result;
}

std::vector<FrameResult> RenderSession::renderFrames(int first, int last, const RenderOptions& options,
                                                     const std::function<void(FrameResult&)>& onFrame)
{
  std::vector<FrameResult> results;
  // Stops at `last` itself, so that a range ending at the largest int does not wrap.
  for (int f = first; first <= last; ++f) {
    FrameResult r = options.validateOnly ? validateFrame(f, options) : renderFrame(f, options);
    if (onFrame)
      onFrame(r);
    const bool stop = r.status != FrameStatus::Ok || f == last;
    results.push_back(std::move(r));
    if (stop)
      break;
  }
  if (!options.validateOnly)
    close();
  return results;
}

void RenderSession::close()
{
  node_.op().close();
  for (auto& entry : sources_)
    entry.second->close();
}

void RenderSession::setProgressCallback(std::function<void(double, double)> callback)
{
  progress_ = std::move(callback);
}

void RenderSession::requestAbort()
{
  ddh::requestAbort(node_.op());
}

SourceOp* RenderSession::inputContext(int offset) const
{
  return offset >= 0 && std::size_t(offset) < contexts_.size() ? contexts_[std::size_t(offset)] : nullptr;
}

} // namespace host_runtime
