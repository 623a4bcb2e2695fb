// Drives a node through frames as the host does: output context, input contexts, validation,
// requests, open, one planar render of the whole output box, close.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DDImage/Box.h"
#include "DDImage/ChannelSet.h"
#include "DDImage/Format.h"
#include "DDImage/ImagePlane.h"
#include "DDImageHost/Events.h"
#include "DDImageHost/Node.h"
#include "runtime/ImageSource.h"

namespace host_runtime {

class HostNode;
class SourceOp;

// One request the node made of an input context in getRequests.
struct InputRequest {
  int input = -1;     // index among the node's inputs (Op::input(i)); -1 for an op that is none of them
  double frame = 0.0; // the frame of that input context
  DD::Image::Box box;
  DD::Image::ChannelSet channels;
  int count = 1;
};

enum class FrameStatus { Ok, Failed, Aborted };

struct FrameResult {
  double frame = 0.0;
  FrameStatus status = FrameStatus::Ok;
  std::string error;        // "<node name>: <error text>" when failed
  bool inputFailed = false; // the failure was an input's (its file, say), not the node's own

  // The node's info after validation.
  DD::Image::Format format;
  DD::Image::Box box{0, 0, 0, 0};
  DD::Image::ChannelSet channels;
  int firstFrame = 0, lastFrame = 0;

  int splitCount = 1;                // split_input(0)
  std::vector<double> contextFrames; // frame of each input context, by offset
  std::vector<InputRequest> requests;

  // The plane handed to the node (packed, the output box and channels), as the node left it: the
  // output when status is Ok. Null when validation or open failed, or when only validating.
  std::shared_ptr<DD::Image::ImagePlane> plane;
  // Whether the node wrote into that plane.
  bool pixelsWritten = false;

  // A render that ended Ok with pixels to fill and none written: the node rendered nothing for
  // the frame (one outside its frame range, say), and the plane's zeros are no picture.
  bool renderedNothing() const
  {
    return status == FrameStatus::Ok && plane && !pixelsWritten && plane->bounds().w() > 0 && plane->bounds().h() > 0;
  }
};

struct RenderOptions {
  std::optional<DD::Image::ChannelSet> channels; // default: the node's output channels
  std::optional<DD::Image::Box> box;             // default: the node's bounding box
  bool validateOnly = false;                     // validation and requests, no open or render
};

class RenderSession {
public:
  // `input` feeds input 0 (null: nothing connected). The session connects the node's inputs and
  // disconnects them when it ends; the node must outlive it.
  RenderSession(HostNode& node, std::shared_ptr<const ImageSource> input);
  ~RenderSession();

  RenderSession(const RenderSession&) = delete;
  RenderSession& operator=(const RenderSession&) = delete;

  // Sets the node's output context to `frame` and connects input 0 as the node asks: split_input(0)
  // contexts, each at the frame inputContext(0, k, ctx) gives. Done by every frame below; call it
  // yourself before changing knobs whose reactions read the input.
  void connectInputsAt(double frame);

  FrameResult validateFrame(double frame, const RenderOptions& options = {});
  // Validates, passes the requests on, opens (once per validation) and renders. The node stays
  // open afterwards, as hosts keep ops open between frames; close() closes it.
  FrameResult renderFrame(double frame, const RenderOptions& options = {});
  // Frames first..last in order, stopping after a frame that failed or was aborted; closes at the
  // end (unless only validating). `onFrame` sees each result as it comes.
  std::vector<FrameResult> renderFrames(int first, int last, const RenderOptions& options = {},
                                        const std::function<void(FrameResult&)>& onFrame = {});
  void close();

  // Progress the node reports during renders: (frame, fraction done).
  void setProgressCallback(std::function<void(double frame, double fraction)> callback);
  // A user abort of the render in progress (thread-safe).
  void requestAbort();

  // The op serving input context `offset` of input 0 after the last connection; null if none.
  SourceOp* inputContext(int offset) const;

private:
  void connect(double frame, FrameResult& result);
  void finish(FrameResult& result) const;
  void onEvent(const DD::Image::host::Event& event);

  HostNode& node_;
  std::shared_ptr<const ImageSource> input_;
  DD::Image::Node sourceNode_{"Read1"};
  std::map<double, std::unique_ptr<SourceOp>> sources_; // by context frame
  std::vector<SourceOp*> contexts_;
  std::function<void(double, double)> progress_;
  double frame_ = 0.0;
  int listener_ = 0;
};

} // namespace host_runtime
