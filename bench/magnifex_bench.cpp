// magnifex_bench: one measurement per run, printed as one JSON line. scripts/bench runs the studies
// (each size in a process of its own, so peak memory is that run's), gathers the lines into CSV
// files and plots.
//
//   magnifex_bench still    --pack P --width W --height H --scale S [--multisample] [--repeat N]
//                           [--threads T] [--max-size M] [--no-passes] [--dump DIR]
//   magnifex_bench sequence --pack P --width W --height H --scale S --type plates|cg|hybrid ...
//   magnifex_bench profile  --width W --height H --scale S [--multisample]   (no networks: stages)
//
// still/sequence: the render's wall time as the host drives it (validate, open, renderStripe with
// its input fetch), next to the bare network passes over the same patches with the same archive,
// device, precision and threads, alternated run by run; the medians and their ratio.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>

#include <ATen/Parallel.h>
#include <ATen/TensorOperators.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/full.h>
#include <c10/core/GradMode.h>
#include <torch/cuda.h>
#ifdef MAGNIFEX_WITH_CUDA
#include <c10/cuda/CUDACachingAllocator.h>
#endif

#include "BenchImages.h"
#include "DDImageHost/Process.h"
#include "models/CatalogueConstants.h"
#include "op/FormatRules.h"
#include "op/Magnifex.h"
#include "op/ScriptedNetworks.h"
#include "render/LogEncoding.h"
#include "render/PatchBlend.h"
#include "render/PlaneTensor.h"
#include "render/StillWalk.h"
#include "render/WriteBack.h"
#include "render/sequence/RecurrentStep.h"
#include "runtime/HostNode.h"
#include "runtime/RenderSession.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace magnifex;

// Working networks that stand in for the pack's in the nodes built from now on (none: the pack's).
std::shared_ptr<const ScriptedNetworks> g_scripted;

DD::Image::Iop* build(DD::Image::Node* node)
{
  return new Magnifex(node, libtorch_machine_facts(), nullptr, g_scripted);
}
const DD::Image::Op::Description kDescription("MagnifexBench", "Bench/Magnifex", build);

struct Options {
  std::string study;
  std::string pack = "reference";
  int width = 512, height = 512, scale = 4;
  bool multisample = false;
  int repeat = 3;
  int threads = 2;
  int max_size = 500;
  bool passes = true;
  std::string type = "plates";
  std::string dump;
  // The mixedprecision knob: "mixed" on (and on the CPU the process opted in to BFloat16), "float32"
  // off; "auto" leaves it on where CUDA renders and turns it off on the CPU, so CPU timings are
  // float32 unless BFloat16 is asked for.
  std::string precision = "auto";
};

[[noreturn]] void usage(const std::string& why)
{
  std::cerr << "magnifex_bench: " << why
            << "\nusage: magnifex_bench still|sequence|profile [--pack P] [--width W] "
               "[--height H] [--scale 2|4] [--multisample] [--repeat N] [--threads T] [--max-size M] [--no-passes] "
               "[--type plates|cg|hybrid] [--dump DIR] [--precision auto|float32|mixed]\n";
  std::exit(2);
}

Options parse(int argc, char** argv)
{
  if (argc < 2)
    usage("which study?");
  Options o;
  o.study = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc)
        usage(a + " needs a value");
      return argv[++i];
    };
    if (a == "--pack")
      o.pack = value();
    else if (a == "--width")
      o.width = std::stoi(value());
    else if (a == "--height")
      o.height = std::stoi(value());
    else if (a == "--scale")
      o.scale = std::stoi(value());
    else if (a == "--multisample")
      o.multisample = true;
    else if (a == "--precision")
      o.precision = value();
    else if (a == "--repeat")
      o.repeat = std::max(1, std::stoi(value()));
    else if (a == "--threads")
      o.threads = std::stoi(value());
    else if (a == "--max-size")
      o.max_size = std::stoi(value());
    else if (a == "--no-passes")
      o.passes = false;
    else if (a == "--type")
      o.type = value();
    else if (a == "--dump")
      o.dump = value();
    else
      usage("unknown option " + a);
  }
  if (o.scale != 2 && o.scale != 4)
    usage("--scale is 2 or 4");
  return o;
}

double seconds_since(Clock::time_point start)
{
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void sync(bool gpu)
{
#ifdef MAGNIFEX_WITH_CUDA
  if (gpu)
    torch::cuda::synchronize();
#endif
}

double median(std::vector<double> v)
{
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

double peak_host_mb()
{
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_maxrss) / 1024.0;
}

double peak_gpu_mb()
{
#ifdef MAGNIFEX_WITH_CUDA
  if (torch::cuda::is_available())
    return double(c10::cuda::CUDACachingAllocator::getDeviceStats(0)
                    .allocated_bytes[std::size_t(c10::CachingAllocator::StatType::AGGREGATE)]
                    .peak) /
           (1024.0 * 1024.0);
#endif
  return 0.0;
}

// One JSON line: "key": value pairs in insertion order.
class Row {
public:
  Row& add(const std::string& key, double v)
  {
    std::ostringstream os;
    os.precision(6);
    os << v;
    fields_.emplace_back(key, os.str());
    return *this;
  }
  Row& add(const std::string& key, const std::string& v)
  {
    fields_.emplace_back(key, "\"" + v + "\"");
    return *this;
  }
  void print() const
  {
    std::cout << "{";
    for (std::size_t i = 0; i < fields_.size(); ++i)
      std::cout << (i ? ", " : "") << "\"" << fields_[i].first << "\": " << fields_[i].second;
    std::cout << "}" << std::endl;
  }

private:
  std::vector<std::pair<std::string, std::string>> fields_;
};

std::vector<DD::Image::Channel> channels_for(const std::string& type)
{
  std::vector<DD::Image::Channel> c{DD::Image::Chan_Red, DD::Image::Chan_Green, DD::Image::Chan_Blue};
  if (type != "plates")
    c.push_back(DD::Image::Chan_Alpha);
  return c;
}

// The host tensor of frame f of the picture: [1, n, H, W] in host rows, as the node fetches it.
at::Tensor host_picture(const host_runtime::Image& image, int W, int H)
{
  const int n = int(image.channels.size());
  at::Tensor t = at::empty({1, n, H, W});
  float* p = t.data_ptr<float>();
  for (int c = 0; c < n; ++c)
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x)
        *p++ = image.at(x, y, c);
  return t;
}

struct BenchNode {
  std::unique_ptr<host_runtime::HostNode> node;
  std::unique_ptr<host_runtime::RenderSession> session;
  std::shared_ptr<host_runtime::MemoryImageSource> source;
  Magnifex& op() const { return dynamic_cast<Magnifex&>(node->op()); }
};

BenchNode make_node(const Options& o, int frames, std::vector<std::pair<std::string, std::string>> knobs)
{
  if (o.precision == "mixed")
    setenv(magnifex::kCpuBFloat16Variable, "1", 1); // read once, when the plug-in makes its first node
  DD::Image::host::registerPluginFile(std::string(MAGNIFEX_PLUGINS_DIR) + "/" + o.pack + "/Magnifex.so");
  BenchNode b;
  b.source = bench::picture_source(o.width, o.height, 1, frames, channels_for(o.type));
  b.node = host_runtime::HostNode::create("MagnifexBench", "Magnifex1");
  b.session = std::make_unique<host_runtime::RenderSession>(*b.node, b.source);
  b.session->connectInputsAt(1);
  knobs.insert(knobs.begin(), {{"scale", o.scale == 2 ? "2x" : "4x"}, {"max_size", std::to_string(o.max_size)}});
  if (o.precision == "float32" || (o.precision == "auto" && !torch::cuda::is_available()))
    knobs.emplace_back("mixedprecision", "false");
  else if (o.precision == "mixed")
    knobs.emplace_back("mixedprecision", "true");
  b.node->setKnobs(knobs);
  return b;
}

void render_or_die(BenchNode& b, int frame)
{
  const host_runtime::FrameResult r = b.session->renderFrame(frame);
  if (r.status != host_runtime::FrameStatus::Ok) {
    std::cerr << "magnifex_bench: frame " << frame << " failed: " << r.error << "\n";
    std::exit(1);
  }
}

void write_floats(const std::string& path, const at::Tensor& hwc)
{
  const at::Tensor t = hwc.contiguous();
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(t.data_ptr<float>()), std::streamsize(t.numel() * sizeof(float)));
}

// Input, Magnifex's output and the patch list, for the Python peer (rows top to bottom).
void dump_for_peer(const Options& o, BenchNode& b, const PatchGrid& grid)
{
  const host_runtime::FrameResult r = b.session->renderFrame(1);
  const DD::Image::Box& box = r.plane->bounds();
  const at::Tensor out = at::from_blob(const_cast<float*>(r.plane->readable()), {box.h(), box.w(), r.plane->nComps()});
  write_floats(o.dump + "/magnifex.f32", out.flip({0}));
  const at::Tensor in = host_picture(*b.source->pixels(1), o.width, o.height);
  write_floats(o.dump + "/input.f32", in.squeeze(0).permute({1, 2, 0}).flip({0}));
  std::ofstream json(o.dump + "/patches.json");
  json << "{\"width\": " << o.width << ", \"height\": " << o.height << ", \"scale\": " << o.scale
       << ", \"details\": " << b.op().settings().details << ", \"patches\": [";
  bool first = true;
  for (const PatchRect& p : patch_walk(grid, o.width, o.height)) {
    json << (first ? "" : ", ") << "[" << p.xStart << ", " << p.xEnd << ", " << p.yStart << ", " << p.yEnd << "]";
    first = false;
  }
  json << "]}\n";
}

int still(const Options& o)
{
  BenchNode b = make_node(o, 1, {{"multisample", o.multisample ? "true" : "false"}});
  render_or_die(b, 1); // loads, blends and warms up
  Magnifex& op = b.op();
  const c10::Device device = op.choose_device(true);
  const bool gpu = device.is_cuda();
  const PatchGrid grid =
    *compute_patch_grid(o.width, o.height, o.max_size, op.settings().overlap, op.settings().padding, o.multisample);

  // The chunks the walk cuts, in every orientation it runs them, prepared outside the timing.
  c10::NoGradGuard no_grad;
  const at::Tensor tensor_image = still_network_input(host_picture(*b.source->pixels(1), o.width, o.height), device);
  std::vector<at::Tensor> chunks;
  for (const PatchRect& p : patch_walk(grid, o.width, o.height)) {
    const at::Tensor chunk = tensor_image.narrow(3, p.xStart, p.width()).narrow(2, p.yStart, p.height());
    chunks.push_back(chunk);
    if (o.multisample)
      for (const at::Tensor& flipped : {chunk.flip({2}), chunk.flip({2, 3}), chunk.flip({3})})
        chunks.push_back(flipped);
  }

  std::vector<double> renders, passes;
  for (int i = 0; i < o.repeat; ++i) {
    sync(gpu);
    const Clock::time_point start = Clock::now();
    render_or_die(b, 1);
    sync(gpu);
    renders.push_back(seconds_since(start));
    if (!o.passes)
      continue;
    double sum = 0.0;
    for (const at::Tensor& chunk : chunks) {
      sync(gpu);
      const Clock::time_point pass_start = Clock::now();
      op.run_network(op.networks().still_net, {chunk}, gpu);
      sync(gpu);
      sum += seconds_since(pass_start);
    }
    passes.push_back(sum);
  }
  if (!o.dump.empty())
    dump_for_peer(o, b, grid);

  const double render_s = median(renders), passes_s = median(passes);
  const double output_mp = double(o.width) * o.height * o.scale * o.scale / 1e6;
  Row()
    .add("study", "still")
    .add("pack", o.pack)
    .add("device", gpu ? "cuda" : "cpu")
    .add("mixedprecision", op.settings().mixedprecision ? 1 : 0)
    .add("width", o.width)
    .add("height", o.height)
    .add("scale", o.scale)
    .add("multisample", o.multisample ? 1 : 0)
    .add("threads", o.threads)
    .add("patches", grid.patchCount())
    .add("passes_per_render", double(chunks.size()))
    .add("render_s", render_s)
    .add("passes_s", passes_s)
    .add("overhead", o.passes ? render_s / passes_s : 0.0)
    .add("s_per_output_mp", render_s / output_mp)
    .add("peak_host_mb", peak_host_mb())
    .add("peak_gpu_mb", peak_gpu_mb())
    .add("input_mb", double(o.width) * o.height * 3 * 4 / 1048576.0)
    .add("output_plane_mb", output_mp * 1e6 * 3 * 4 / 1048576.0)
    .print();
  return 0;
}

int sequence(const Options& o)
{
  const std::string type = o.type == "cg"       ? "CG [RGBA]"
                           : o.type == "hybrid" ? "Hybrid (Alexa+CG) [RGBA]"
                                                : "Plates (Alexa) [RGB]";
  const int frames = o.repeat + 1;
  BenchNode b = make_node(o, frames,
                          {{"mode", "sequence"},
                           {"type", type},
                           {"preroll", "1"},
                           {"first_frame", "1"},
                           {"last_frame", std::to_string(frames)}});
  render_or_die(b, 1); // loads, warms up and leaves the state every later frame continues from
  Magnifex& op = b.op();
  const c10::Device device = op.choose_device(true);
  const bool gpu = device.is_cuda();
  const Material material = material_of(op.settings().type);
  const int s = o.scale;
  const PatchGrid grid =
    *compute_patch_grid(o.width, o.height, o.max_size, op.settings().overlap, op.settings().padding, false);
  const std::vector<PatchRect> walk = patch_walk(grid, o.width, o.height);
  const int alpha = material == Material::Plates ? -1 : 3;

  c10::NoGradGuard no_grad;
  const at::Tensor iterations =
    at::full({1}, static_cast<float>(catalogue::flow_iterations), at::TensorOptions().device(device));
  std::vector<double> renders, passes;
  for (int f = 2; f <= frames; ++f) {
    sync(gpu);
    const Clock::time_point start = Clock::now();
    render_or_die(b, f);
    sync(gpu);
    renders.push_back(seconds_since(start));
    if (!o.passes)
      continue;
    const at::Tensor current = host_picture(*b.source->pixels(f), o.width, o.height);
    const at::Tensor previous = host_picture(*b.source->pixels(f - 1), o.width, o.height);
    // The pipeline's own recurrent step on each patch, with only its network passes timed, so the
    // passes see exactly the inputs the render gives them.
    double sum = 0.0;
    auto timed = [&](auto&& pass) {
      sync(gpu);
      const Clock::time_point pass_start = Clock::now();
      at::Tensor out = pass();
      sync(gpu);
      sum += seconds_since(pass_start);
      return out;
    };
    torch::jit::Module flow = op.networks().flow_net; // a handle: forward is not const
    SequenceNetworks networks;
    networks.flow = [&](const at::Tensor& cur, const at::Tensor& prev) {
      return timed([&] { return flow.forward({cur, prev, iterations}).toTensor(); });
    };
    networks.main = [&](const at::Tensor& lr, const at::Tensor& hr) {
      return timed([&] { return op.run_network(op.networks().sequence_net, {lr, hr}, gpu); });
    };
    networks.colour = [&](const at::Tensor& lr, const at::Tensor& hr) {
      return timed([&] { return op.run_network(op.networks().sequence_rgb_net, {lr, hr}, gpu); });
    };
    for (const PatchRect& p : walk) {
      auto patch = [&](const at::Tensor& t) {
        return sequence_network_input(t.narrow(3, p.xStart, p.width()).narrow(2, o.height - p.yEnd, p.height()), device,
                                      material, alpha);
      };
      const at::Tensor cur = patch(current);
      PatchState state = initial_patch_state(cur, material, s);
      state.previous = patch(previous);
      recurrent_step(
        cur, state, material, s, networks, [] { return false; }, {}, true);
    }
    passes.push_back(sum);
  }
  const double render_s = median(renders), passes_s = median(passes);
  Row()
    .add("study", "sequence")
    .add("pack", o.pack)
    .add("device", gpu ? "cuda" : "cpu")
    .add("mixedprecision", op.settings().mixedprecision ? 1 : 0)
    .add("type", o.type)
    .add("width", o.width)
    .add("height", o.height)
    .add("scale", s)
    .add("threads", o.threads)
    .add("patches", grid.patchCount())
    .add("render_s", render_s)
    .add("passes_s", passes_s)
    .add("overhead", o.passes ? render_s / passes_s : 0.0)
    .add("peak_host_mb", peak_host_mb())
    .add("peak_gpu_mb", peak_gpu_mb())
    .print();
  return 0;
}

// The write-back as it was first written, kept to compare: decode, flip, reorder and copy the whole
// image as tensors (each a full-size temporary), then one block copy.
void whole_image_write_back(const at::Tensor& accumulator, float* plane, std::size_t floats)
{
  const at::Tensor pixels = logDecode(accumulator).flip({2}).squeeze(0).permute({1, 2, 0}).contiguous().cpu();
  std::memcpy(plane, pixels.data_ptr<float>(), floats * sizeof(float));
}

// Where a still render's time goes outside the network passes: each stage of the pipeline timed on
// its own with a network that costs nothing (a result of the right size, made once per shape).
int profile(const Options& o)
{
  const int W = o.width, H = o.height, S = o.scale;
  const c10::Device device(c10::DeviceType::CPU);
  c10::NoGradGuard no_grad;
  const auto source = bench::picture_source(W, H, 1, 1, channels_for("plates"));
  const at::Tensor host = host_picture(*source->pixels(1), W, H);
  const PatchGrid grid = *compute_patch_grid(W, H, o.max_size, 32, 8, o.multisample);
  std::map<std::pair<int64_t, int64_t>, at::Tensor> results;
  const NetworkPass free_pass = [&](const at::Tensor& chunk) {
    at::Tensor& r = results[{chunk.size(2), chunk.size(3)}];
    if (!r.defined())
      r = at::full({1, 3, S * chunk.size(2), S * chunk.size(3)}, 0.4f);
    return r;
  };
  std::vector<float> plane_buffer(std::size_t(W) * H * S * S * 3);

  std::map<std::string, std::vector<double>> stages, baseline;
  for (int i = 0; i < o.repeat; ++i) {
    Clock::time_point t = Clock::now();
    const at::Tensor copied = host_tensor_from_planes(host.data_ptr<float>(), 3, H, W, false);
    stages["plane to tensor"].push_back(seconds_since(t));
    t = Clock::now();
    const at::Tensor tensor_image = still_network_input(copied, device);
    stages["flip, fit, encode"].push_back(seconds_since(t));
    t = Clock::now();
    PlaneWriter writer(plane_buffer.data(), plane_buffer.size(), int64_t(S) * H, int64_t(S) * W, 3, true);
    const FinishedRegion finished = [&writer](const at::Tensor& region, int64_t row, int64_t column) {
      writer.write(region, row, column);
    };
    still_walk_regions(tensor_image, grid, {S, o.multisample, -1}, free_pass, {}, finished);
    stages["walk and write-back as regions finish: cut, masks, blend (+flips), decode, flip, fit, copy"].push_back(
      seconds_since(t));
    t = Clock::now();
    const at::Tensor comp = *still_walk(tensor_image, grid, {S, o.multisample, -1}, free_pass, {});
    write_to_plane(comp, plane_buffer.data(), plane_buffer.size(), 3, true, {});
    baseline["walk into a full-size accumulator, then write-back (before)"].push_back(seconds_since(t));
    t = Clock::now();
    whole_image_write_back(comp, plane_buffer.data(), plane_buffer.size());
    baseline["write-back as whole-image tensors (first version)"].push_back(seconds_since(t));
  }
  Row row;
  row.add("study", "profile")
    .add("width", W)
    .add("height", H)
    .add("scale", S)
    .add("multisample", o.multisample ? 1 : 0);
  double total = 0.0;
  for (const auto& [name, times] : stages) {
    row.add(name, median(times));
    total += median(times);
  }
  row.add("total_s", total);
  for (const auto& [name, times] : baseline)
    row.add(name, median(times));
  row.add("peak_host_mb", peak_host_mb()).print();
  return 0;
}

// Chunks of a shot rendered apart (each chunk a fresh node, as separate farm tasks are) against one
// unsplit run, with a recurrent network that really carries its state: half the bicubic upscale of
// the current patch, half the warped previous result. (The reference networks ignore the state and
// the tiny ones barely use it.) Per frame: the largest and the mean difference.
int chunks(const Options& o)
{
  const int frames = 9, chunk = 3, s = o.scale;
  const std::string S = std::to_string(s);
  const std::string echo = "def forward(self, lr, hr):\n"
                           "  B, C, h, w = lr.size(0), lr.size(1), lr.size(2), lr.size(3)\n"
                           "  prev = hr.reshape(B, " +
                           S + ", " + S + ", C, h, w).permute(0, 3, 4, 1, 5, 2).reshape(B, C, h * " + S + ", w * " + S +
                           ")\n"
                           "  return 0.5 * torch.upsample_bicubic2d(lr, [h * " +
                           S + ", w * " + S + "], False, None, None) + 0.5 * prev\n";
  auto render_range = [&](int first, int last) {
    torch::jit::Module net("Echo");
    net.define(echo);
    ScriptedNetworks echoing;
    echoing.sequence = net;
    g_scripted = std::make_shared<const ScriptedNetworks>(echoing);
    BenchNode b =
      make_node(o, frames, {{"mode", "sequence"}, {"first_frame", "1"}, {"last_frame", std::to_string(frames)}});
    g_scripted = nullptr;
    b.session->renderFrame(first); // loads the networks; the state this frame leaves is redone below
    std::vector<at::Tensor> out;
    b.op().reset_sequence_state();
    for (int f = first; f <= last; ++f) {
      const host_runtime::FrameResult r = b.session->renderFrame(f);
      const DD::Image::Box& box = r.plane->bounds();
      out.push_back(
        at::from_blob(const_cast<float*>(r.plane->readable()), {box.h(), box.w(), r.plane->nComps()}).clone());
    }
    return out;
  };
  const std::vector<at::Tensor> unsplit = render_range(1, frames);
  Row row;
  row.add("study", "chunks")
    .add("pack", o.pack)
    .add("width", o.width)
    .add("height", o.height)
    .add("scale", s)
    .add("chunk", chunk);
  for (int first = 1; first <= frames; first += chunk) {
    const std::vector<at::Tensor> part = render_range(first, first + chunk - 1);
    for (int k = 0; k < chunk; ++k) {
      const at::Tensor diff = (part[std::size_t(k)] - unsplit[std::size_t(first - 1 + k)]).abs();
      const std::string f = "frame " + std::to_string(first + k);
      row.add(f + " max diff", diff.max().item<double>()).add(f + " mean diff", diff.mean().item<double>());
    }
  }
  row.add("mean value", unsplit.back().mean().item<double>()).print();
  return 0;
}

// Faster passes: the networks as the node runs them (run_network: channels-last on the CPU) next to
// the plain contiguous layout they ran in before, over the same inputs: time and the largest
// difference of the outputs. The still network over the render's chunks, then the plates sequence
// network over the same patches. (Freezing is not among the variants: a frozen module still calls
// its submodules' methods, which only the graph optimiser the node keeps switched off inlines, so
// it fails with "Couldn't find method: '_conv_forward'".)
int passes(const Options& o)
{
  BenchNode still_node = make_node(o, 1, {});
  render_or_die(still_node, 1);
  BenchNode sequence_node = make_node(o, 2, {{"mode", "sequence"}, {"preroll", "1"}, {"first_frame", "1"}});
  render_or_die(sequence_node, 1);
  Magnifex& op = still_node.op();
  Magnifex& seq = sequence_node.op();
  const c10::Device device = op.choose_device(true);
  const bool gpu = device.is_cuda();
  const PatchGrid grid =
    *compute_patch_grid(o.width, o.height, o.max_size, op.settings().overlap, op.settings().padding, false);
  c10::NoGradGuard no_grad;
  const at::Tensor tensor_image =
    still_network_input(host_picture(*still_node.source->pixels(1), o.width, o.height), device);
  const int s = o.scale;

  struct Network {
    std::string name;
    torch::jit::Module module; // a handle on the node's network
    Magnifex* owner;
    std::vector<std::vector<c10::IValue>> inputs;
  };
  std::vector<Network> networks{{"still", op.networks().still_net, &op, {}},
                                {"sequence", seq.networks().sequence_net, &seq, {}}};
  for (const PatchRect& p : patch_walk(grid, o.width, o.height)) {
    const at::Tensor chunk = tensor_image.narrow(3, p.xStart, p.width()).narrow(2, p.yStart, p.height()).contiguous();
    networks[0].inputs.push_back({chunk});
    networks[1].inputs.push_back({chunk, at::full({1, 3 * s * s, p.height(), p.width()}, 0.3f, chunk.options())});
  }

  Row row;
  row.add("study", "passes")
    .add("pack", o.pack)
    .add("device", gpu ? "cuda" : "cpu")
    .add("mixedprecision", op.settings().mixedprecision ? 1 : 0)
    .add("width", o.width)
    .add("height", o.height)
    .add("scale", s)
    .add("threads", o.threads)
    .add("patches", grid.patchCount());
  for (Network& n : networks) {
    struct Variant {
      std::string name;
      std::function<at::Tensor(std::vector<c10::IValue>)> pass;
    };
    const std::vector<Variant> variants{
      {"as run", [&](std::vector<c10::IValue> in) { return n.owner->run_network(n.module, std::move(in), gpu); }},
      {"contiguous (before)",
       [&](std::vector<c10::IValue> in) {
         return gpu ? n.owner->run_network(n.module, std::move(in), gpu) : n.module.forward(std::move(in)).toTensor();
       }},
    };
    std::vector<at::Tensor> reference;
    for (const auto& in : n.inputs)
      reference.push_back(variants.back().pass(in).contiguous());
    for (const Variant& v : variants) {
      for (const auto& in : n.inputs) // warm-up: first-call costs
        v.pass(in);
      std::vector<double> times;
      double diff = 0.0;
      for (int i = 0; i < o.repeat; ++i) {
        double sum = 0.0;
        for (std::size_t k = 0; k < n.inputs.size(); ++k) {
          sync(gpu);
          const Clock::time_point start = Clock::now();
          const at::Tensor out = v.pass(n.inputs[k]);
          sync(gpu);
          sum += seconds_since(start);
          diff = std::max(diff, (out - reference[k]).abs().max().item<double>());
        }
        times.push_back(sum);
      }
      row.add(n.name + " " + v.name + " s", median(times)).add(n.name + " " + v.name + " max diff", diff);
    }
  }
  row.print();
  return 0;
}

} // namespace

int main(int argc, char** argv)
{
  const Options o = parse(argc, argv);
  at::set_num_threads(o.threads);
  // As in an interactive session: no batch status line among the results on standard output.
  DD::Image::host::setGUIActive(true);
  c10::GradMode::set_enabled(false);
  if (o.study == "still")
    return still(o);
  if (o.study == "sequence")
    return sequence(o);
  if (o.study == "profile")
    return profile(o);
  if (o.study == "passes")
    return passes(o);
  if (o.study == "chunks")
    return chunks(o);
  usage("unknown study " + o.study);
}
