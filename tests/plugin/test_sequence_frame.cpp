// Sequence mode's frame state machine over plain values: fake networks, a scripted reader.
#include <stdexcept>

#include <gtest/gtest.h>

#include <ATen/TensorOperators.h>
#include <ATen/ops/equal.h>
#include <ATen/ops/rand.h>
#include <ATen/ops/upsample_nearest2d.h>
#include <ATen/ops/zeros.h>

#include "render/sequence/SequenceFrame.h"

using namespace magnifex;

namespace {

constexpr int kW = 40, kH = 12, kScale = 2;

// Frames of random pixels (a new picture per frame), from contexts that all share one box.
class ScriptedReader : public SequencePatchReader {
public:
  std::optional<ContextBox> context_box(int context) override
  {
    boxes_asked.push_back(context);
    if (context == wrong_box_context)
      return ContextBox{0, 0, kW + 1, kH};
    return ContextBox{0, 0, kW, kH};
  }
  std::optional<at::Tensor> read(int context, const PatchRect& p, bool current_frame) override
  {
    reads.push_back({context, current_frame});
    if (int(reads.size()) == fail_at_read)
      return std::nullopt;
    const int frame = frame_of_context.at(context);
    at::manual_seed(frame);
    // Host rows run bottom to top: the patch's rows counted from the bottom of the whole frame.
    return at::rand({1, 3, kH, kW}).narrow(2, kH - p.yEnd, p.height()).narrow(3, p.xStart, p.width()).contiguous();
  }

  std::map<int, int> frame_of_context; // context -> frame it shows
  std::vector<std::pair<int, bool>> reads;
  std::vector<int> boxes_asked;
  int wrong_box_context = -1;
  int fail_at_read = -1;
};

// A recurrent network whose result depends on the warped previous result, so a state that is not
// carried, or carried from the wrong slot, changes the picture.
SequenceNetworks carrying_networks()
{
  SequenceNetworks n;
  n.flow = [](const at::Tensor& current, const at::Tensor&) {
    return at::zeros({1, 2, current.size(2), current.size(3)});
  };
  n.main = [](const at::Tensor& lr, const at::Tensor& hr) {
    const std::vector<int64_t> size{lr.size(2) * kScale, lr.size(3) * kScale};
    return at::upsample_nearest2d(lr, size) + 0.5 * at::upsample_nearest2d(hr.narrow(1, 0, lr.size(1)), size);
  };
  return n;
}

PatchGrid two_by_one_grid()
{
  PatchGrid g = *compute_patch_grid(kW, kH, 32, 8, 2, false);
  EXPECT_EQ(g.patchCount(), 2);
  return g;
}

SequenceFrameSettings settings_for(int frame, std::vector<int> preroll)
{
  SequenceFrameSettings s;
  s.frame = frame;
  s.scale = kScale;
  s.input_box = ContextBox{0, 0, kW, kH};
  s.preroll_frames = std::move(preroll);
  s.frame_to_input[frame] = 0;
  for (std::size_t i = 0; i < s.preroll_frames.size(); ++i)
    s.frame_to_input[s.preroll_frames[i]] = int(i) + 1;
  return s;
}

ScriptedReader reader_for(const SequenceFrameSettings& s)
{
  ScriptedReader r;
  for (const auto& [frame, context] : s.frame_to_input)
    r.frame_of_context[context] = frame;
  return r;
}

struct Progress {
  std::vector<std::pair<int, int>> reports;
  int abort_after = -1;
  RenderHooks hooks()
  {
    RenderHooks h;
    h.progress = [this](int done, int total) { reports.push_back({done, total}); };
    h.aborted = [this] { return abort_after >= 0 && int(reports.size()) > abort_after; };
    return h;
  }
};

} // namespace

// Frame 3 after a preroll of 1 and 2 equals frame 3 rendered from the state frames 1 and 2 left:
// loading a saved state is the preroll's continuation, slot by slot.
TEST(SequenceFrame, SavedStateContinuesAsThePrerollWould)
{
  const PatchGrid grid = two_by_one_grid();
  const SequenceNetworks nets = carrying_networks();
  Progress progress;

  SequenceMemory prerolled;
  SequenceFrameSettings with_preroll = settings_for(3, {1, 2});
  ScriptedReader preroll_reader = reader_for(with_preroll);
  const SequenceFrameResult a =
    render_sequence_frame(with_preroll, grid, kW, kH, prerolled, preroll_reader, nets, progress.hooks());
  ASSERT_FALSE(a.failure);
  ASSERT_TRUE(a.composite.defined());
  EXPECT_EQ(a.composite.sizes(), (std::vector<int64_t>{1, 3, kH * kScale, kW * kScale}));
  // Per patch: two preroll frames and the current one, five progress points each.
  EXPECT_EQ(progress.reports.back(), (std::pair<int, int>{30, 30}));
  EXPECT_EQ(preroll_reader.boxes_asked, (std::vector<int>{1, 2, 1, 2}));
  EXPECT_EQ(prerolled.last_rendered_frame, 3);
  EXPECT_FALSE(prerolled.saved(0)); // the caller marks it once the output is written

  SequenceMemory carried;
  for (int frame : {1, 2, 3}) {
    progress.reports.clear();
    SequenceFrameSettings s = settings_for(frame, {});
    ScriptedReader reader = reader_for(s);
    const SequenceFrameResult r = render_sequence_frame(s, grid, kW, kH, carried, reader, nets, progress.hooks());
    ASSERT_TRUE(r.composite.defined()) << frame;
    EXPECT_EQ(progress.reports.back(), (std::pair<int, int>{10, 10})) << frame;
    // Only the current frame is read, and no box is checked, once a state is saved.
    EXPECT_EQ(reader.reads, (std::vector<std::pair<int, bool>>{{0, true}, {0, true}})) << frame;
    if (frame == 3)
      EXPECT_TRUE(at::equal(r.composite, a.composite));
    else
      EXPECT_FALSE(at::equal(r.composite, a.composite));
    carried.mark_saved(0, "rgb");
  }

  // A second render index keeps its own slots after the first one's.
  SequenceFrameSettings second = settings_for(3, {});
  second.render_index = 1;
  ScriptedReader reader = reader_for(second);
  ASSERT_TRUE(render_sequence_frame(second, grid, kW, kH, carried, reader, nets, progress.hooks()).composite.defined());
  EXPECT_EQ(carried.result_count(), 4u);
}

TEST(SequenceFrame, FramesThatEndWithoutAResult)
{
  struct Case {
    const char* what;
    int wrong_box_context, fail_at_read, abort_after;
    bool throw_in_preroll, throw_in_current;
    std::optional<std::string> message; // the failure the node shows; none: nothing to show
    std::string first_log;
  };
  const std::string exception_text = "Traceback:\n  a line\nRuntimeError: the network's own words";
  const Case cases[] = {
    {"a preroll context of another size", 1, -1, -1, false, false,
     std::string("The node doesn't support dynamically changing format/bbox between frames in sequence mode. Try "
                 "adding a constant Crop (with reformat checked) before the Magnifex node to commit to the same "
                 "constant input format."),
     ""},
    {"a read the reader refused", -1, 2, -1, false, false, std::nullopt, ""},
    {"an abort mid-frame", -1, -1, 7, false, false, std::nullopt, ""},
    {"a network that throws in the preroll", -1, -1, -1, true, false, "RuntimeError: the network's own words",
     exception_text},
    {"a network that throws on the current frame", -1, -1, -1, false, true, "RuntimeError: the network's own words",
     "Error during the final patch processing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SequenceNetworks nets = carrying_networks();
    int calls = 0;
    const int preroll_calls = 2; // one patch's two preroll frames
    const auto main = nets.main;
    nets.main = [&, main](const at::Tensor& lr, const at::Tensor& hr) {
      ++calls;
      if ((c.throw_in_preroll && calls == 1) || (c.throw_in_current && calls == preroll_calls + 1))
        throw std::runtime_error(exception_text);
      return main(lr, hr);
    };
    SequenceFrameSettings s = settings_for(3, {1, 2});
    ScriptedReader reader = reader_for(s);
    reader.wrong_box_context = c.wrong_box_context;
    reader.fail_at_read = c.fail_at_read;
    Progress progress;
    progress.abort_after = c.abort_after;
    SequenceMemory memory;
    const SequenceFrameResult r =
      render_sequence_frame(s, two_by_one_grid(), kW, kH, memory, reader, nets, progress.hooks());
    EXPECT_FALSE(r.composite.defined());
    ASSERT_EQ(r.failure.has_value(), c.message.has_value());
    if (c.message) {
      EXPECT_EQ(r.failure->message, *c.message);
      if (!c.first_log.empty()) {
        ASSERT_FALSE(r.failure->log.empty());
        EXPECT_EQ(r.failure->log.front(), c.first_log);
        EXPECT_EQ(r.failure->log.back(), exception_text);
      }
    }
  }
}

// A render index marked saved whose slots this grid does not have is an error of the caller's
// bookkeeping: it throws rather than reading past the memory.
TEST(SequenceFrame, ASavedStateThatDoesNotFitTheGridThrows)
{
  SequenceMemory memory;
  memory.mark_saved(0, "rgb");
  SequenceFrameSettings s = settings_for(2, {});
  ScriptedReader reader = reader_for(s);
  Progress progress;
  EXPECT_THROW(
    render_sequence_frame(s, two_by_one_grid(), kW, kH, memory, reader, carrying_networks(), progress.hooks()),
    std::out_of_range);
}

TEST(SequenceMemory, ChannelsOrAGapInFramesForgetTheState)
{
  SequenceMemory memory;
  memory.store_results(0, at::zeros({1}), at::Tensor(), at::zeros({1, 3, 2, 2}));
  memory.mark_saved(0, "rgb");
  memory.last_rendered_frame = 10;
  EXPECT_TRUE(memory.continues(11));
  for (int frame : {10, 12, 9})
    EXPECT_FALSE(memory.continues(frame)) << frame;
  // A placeholder stands in for the plates' missing B path.
  EXPECT_EQ(memory.hr_prevBs.at(0).sizes(), (std::vector<int64_t>{1, 3, 2, 2}));

  EXPECT_FALSE(memory.reset_if_channels_differ(0, "rgb"));
  EXPECT_FALSE(memory.reset_if_channels_differ(1, "rgba")); // nothing saved at index 1
  EXPECT_TRUE(memory.saved(0));
  EXPECT_TRUE(memory.reset_if_channels_differ(0, "rgba"));
  EXPECT_TRUE(memory.empty());
  EXPECT_EQ(memory.result_count(), 0u);
}
