// --trace: every exchange between the host and its ops as JSON lines, in the order they happen:
//   {"seq":1,"event":"validate","op":"Blur1","class":"Blur","frame":1,"for_real":true,"format":{...},...}
// Each line has seq, event, op (node name), class and frame (of the op's output context) when the
// event concerns an op, then the event's own fields (never named like these): boxes as
// {"x","y","r","t"}, formats with width, height, pixel_aspect and name as well, channel sets as
// arrays of channel names. input_context has context_frame, input_request input_frame.
// Events: node_created, knobs_built, knob_set, knob_changed, panel_open, output_context,
// split_input, input_context, validate, input_request, open, render_start, fetch_plane, progress,
// error, abort_requested, render_end (with pixels_written), close, destroy; magnifex-render adds
// frame_skipped (skipped_frame, reason) for frames that get no file.
#pragma once

#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

#include "DDImageHost/Events.h"

namespace DD {
namespace Image {
class Op;
}
} // namespace DD

namespace host_runtime {

class AtomicFile;

class TraceWriter {
public:
  // Writes to the stream, or to a file. A file is written under a temporary name as the events
  // come and takes its name at finish() (or when the writer goes, if every line was written), so
  // that the name never holds a half-written trace (HostError Output when it cannot be made).
  explicit TraceWriter(std::ostream& out);
  explicit TraceWriter(const std::string& path);
  ~TraceWriter();

  // Stops listening and gives a file its name (HostError Output when a line could not be
  // written or the rename fails).
  void finish();

  TraceWriter(const TraceWriter&) = delete;
  TraceWriter& operator=(const TraceWriter&) = delete;

  // Extra fields for an event of an op, as a JSON object text (empty for none); written as the
  // line's "extra" member. For values the host cannot see, such as an op's own members.
  using ExtraFields = std::function<std::string(const DD::Image::Op& op, const std::string& event)>;
  void setExtraFields(ExtraFields extra);

private:
  void write(const DD::Image::host::Event& event);
  void stopListening();

  std::unique_ptr<AtomicFile> pending_;
  std::ofstream file_;
  std::ostream& out_;
  std::recursive_mutex mutex_; // recursive: an extra-fields hook may itself cause events
  ExtraFields extra_;
  long long seq_ = 0;
  int listener_ = 0;
};

// Text of one event as a JSON object (what a trace line holds, without seq and extra).
std::string eventJson(const DD::Image::host::Event& event);

} // namespace host_runtime
