// "TestScale": a small node plug-in for the host runtime's tests, built from the SDK headers
// only. It scales its input by 2, 4 or 1 (nearest neighbour, times `gain`), declares knobs of
// every kind, reads `contexts` frames of its input (the current one and those before it), fails or
// reports progress on request, and writes no pixels after `last_frame`, so the host's paths can be
// watched from outside.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "DDImage/Knobs.h"
#include "DDImage/PlanarIop.h"

using namespace DD::Image;

namespace {

const char* const kScaleEntries[] = {"2x", "4x", "1x (copy)", nullptr};

int floorDiv(int a, int b)
{
  return a >= 0 ? a / b : -((-a + b - 1) / b);
}

class TestScale : public PlanarIop {
public:
  explicit TestScale(Node* node) : PlanarIop(node) {}

  const char* Class() const override { return "TestScale"; }
  const char* node_help() const override { return "Scales its input for the host runtime tests."; }

  int factor() const { return scale == 1 ? 4 : scale == 2 ? 1 : 2; }

  void knobs(Knob_Callback f) override
  {
    Text_knob(f, "Test: ", "");
    Named_Text_knob(f, "last_changed", "", "none");
    SetFlags(f, Knob::DO_NOT_WRITE);
    Divider(f);
    BeginClosedGroup(f, "Options");
    Enumeration_knob(f, &scale, kScaleEntries, "scale");
    Tooltip(f, "Output size.");
    SetFlags(f, Knob::EARLY_STORE);
    Int_knob(f, &contexts, "contexts", "input contexts");
    Float_knob(f, &gain, "gain", "gain");
    SetFlags(f, Knob::STARTLINE);
    Bool_knob(f, &fail, "fail", "fail renders");
    Bool_knob(f, &secret, "secret", "secret");
    SetFlags(f, Knob::HIDDEN | Knob::STARTLINE);
    ClearFlags(f, Knob::STARTLINE);
    EndGroup(f);
    Button(f, "reset", "reset gain");
    Tab_knob(f, "About");
    Text_knob(f, "TestScale 1.0");
    Int_knob(f, &last_frame, "last_frame", "last frame");
    Tooltip(f, "Frames after it get no pixels, as from nodes limited to a frame range.");
    // For the tests of signals: renders that take a while, and a node that never stops early.
    Int_knob(f, &row_delay_ms, "row_delay_ms", "row delay (ms)");
    SetFlags(f, Knob::DO_NOT_WRITE);
    Bool_knob(f, &ignore_aborts, "ignore_aborts", "ignore aborts");
    SetFlags(f, Knob::DO_NOT_WRITE);
  }

  int knob_changed(Knob* k) override
  {
    Knob* last = knob("last_changed");
    if (k == &Knob::showPanel) {
      last->text("panel");
      return 1;
    }
    last->text(k->name());
    if (k->is("reset"))
      knob("gain")->set_value(1.0);
    if (k->is("contexts"))
      knob("secret")->enable(contexts <= 1);
    return 1;
  }

  int split_input(int n) const override { return n == 0 ? contexts : 1; }

  // Context k shows the frame k frames before the current one.
  const OutputContext& inputContext(int n, int offset, OutputContext& ctx) const override
  {
    ctx = outputContext();
    if (n == 0 && offset > 0)
      ctx.setFrame(ctx.frame() - offset);
    return ctx;
  }

  void getRequests(const Box& box, const ChannelSet& channels, int count, RequestOutput& out) const override
  {
    const int f = factor();
    const Box in(floorDiv(box.x(), f), floorDiv(box.y(), f), -floorDiv(-box.r(), f), -floorDiv(-box.t(), f));
    for (int k = 0; k < std::max(contexts, 1); ++k)
      if (Iop* op = input(0, k))
        out.request(op, in, channels, count);
  }

  bool useStripes() const override { return false; }
  bool renderFullPlanes() const override { return true; }
  PackedPreference packedPreference() const override { return ePackedPreferencePacked; }

  void renderStripe(ImagePlane& plane) override
  {
    if (aborted())
      return;
    if (outputContext().frame() > last_frame)
      return; // the plane stays unwritten
    if (fail) {
      error("TestScale: failure requested (%d)", factor());
      return;
    }
    Iop* in = input0();
    if (!in) {
      error("TestScale: no input");
      return;
    }
    if (!plane.packed()) {
      error("TestScale: the host handed an unpacked plane");
      return;
    }
    const int f = factor();
    const Box& b = plane.bounds();
    ImagePlane source(in->info().box(), false, plane.channels(), plane.nComps());
    in->request(source.bounds(), source.channels(), 1);
    in->fetchPlane(source);
    const Box& s = source.bounds();
    plane.makeUnique();
    for (int y = b.y(); y < b.t(); ++y) {
      progressFraction(y - b.y(), b.h());
      if (aborted() && !ignore_aborts)
        return;
      if (row_delay_ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(row_delay_ms));
      const int sy = std::clamp(floorDiv(y, f), s.y(), s.t() - 1);
      for (int x = b.x(); x < b.r(); ++x) {
        const int sx = std::clamp(floorDiv(x, f), s.x(), s.r() - 1);
        for (int z = 0; z < plane.nComps(); ++z)
          plane.writableAt(x, y, z) = gain * source.at(sx, sy, z);
      }
    }
    progressFraction(1.0);
  }

protected:
  void _validate(bool for_real) override
  {
    if (contexts < 0) {
      error("TestScale: contexts must not be negative");
      return;
    }
    PlanarIop::_validate(for_real); // validates input 0 and copies its info
    for (int k = 1; k < contexts; ++k)
      if (Iop* op = input(0, k))
        op->validate(for_real);
    const int f = factor();
    const Format& in = info_.format();
    format_ = Format(in.w() * f, in.h() * f, in.pixel_aspect());
    info_.format(format_);
    info_.full_size_format(format_);
    info_.set(x() * f, y() * f, r() * f, t() * f);
  }

private:
  int scale = 0;
  int contexts = 1;
  float gain = 1.0f;
  bool fail = false;
  bool secret = false;
  int last_frame = INT_MAX;
  int row_delay_ms = 0;
  bool ignore_aborts = false;
  Format format_;
};

// The thread counts the environment gave a tensor library loaded with this plug-in.
std::string environmentAtLoad(const char* name)
{
  const char* value = std::getenv(name);
  return value ? value : "";
}
const std::string ompThreadsAtLoad = environmentAtLoad("OMP_NUM_THREADS");
const std::string mklThreadsAtLoad = environmentAtLoad("MKL_NUM_THREADS");
const std::string cpuBFloat16AtLoad = environmentAtLoad("MAGNIFEX_CPU_BFLOAT16");

Iop* build(Node* node)
{
  return new TestScale(node);
} // null when the host's allocator is out

const Op::Description description("TestScale", "Test/TestScale", build);

} // namespace

#if defined(_WIN32)
#define TEST_PLUGIN_EXPORT __declspec(dllexport)
#else
#define TEST_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

// Values of the op's own for the host's trace.
extern "C" TEST_PLUGIN_EXPORT const char* host_trace_fields(const Op* op, const char* event)
{
  static thread_local std::string text;
  const auto* node = dynamic_cast<const TestScale*>(op);
  if (!node || std::string(event) != "validate")
    return nullptr;
  text = "{\"factor\":" + std::to_string(node->factor()) + ",\"omp_threads_at_load\":\"" + ompThreadsAtLoad +
         "\",\"mkl_threads_at_load\":\"" + mklThreadsAtLoad + "\",\"cpu_bfloat16_at_load\":\"" + cpuBFloat16AtLoad +
         "\"}";
  return text.c_str();
}
