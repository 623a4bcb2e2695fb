// The companion libraries' archives: what they export, reading them in place, and their signatures.
// The libraries are opened here with dlopen directly, so these cases share no loader state.
#include <ATen/ops/zeros.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <torch/csrc/jit/api/module.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Companion.h"
#include "models/MemAdapter.h"
#include "models/ModelLibrary.h"
#include "models/NetworkSignature.h"

using namespace magnifex;

namespace {

struct Archive {
  const void* data = nullptr;
  size_t size = 0;
};

// One companion library, opened privately (never closed: its bytes must stay valid).
class Companion {
public:
  explicit Companion(const std::string& path) : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {}
  bool loaded() const { return handle_ != nullptr; }
  ModelGetter getter(ModelCode code) const
  {
    return reinterpret_cast<ModelGetter>(dlsym(handle_, model_symbol_name(code)));
  }
  Archive archive(ModelCode code) const
  {
    Archive a;
    if (ModelGetter get = getter(code))
      a.data = get(&a.size);
    return a;
  }
  void* symbol(const char* name) const { return dlsym(handle_, name); }

private:
  void* handle_;
};

#define OPEN_COMPANION_OR_SKIP(var, name)                                                                              \
  MAGNIFEX_COMPANION_OR_SKIP(var##_path, name);                                                                        \
  const Companion var(var##_path);                                                                                     \
  ASSERT_TRUE(var.loaded()) << dlerror()

// ---- MemAdapter ---------------------------------------------------------------------------

TEST(MemAdapter, ReadsWithinTheBytesOnly)
{
  const char bytes[] = "0123456789";
  const MemAdapter adapter(bytes, 10);
  EXPECT_EQ(adapter.size(), 10u);

  char buf[16];
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(adapter.read(0, buf, 4), 4u);
  EXPECT_EQ(std::string(buf, 5), "0123#");
  // A read running past the end is cut short.
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(adapter.read(7, buf, 16, "ignored"), 3u);
  EXPECT_EQ(std::string(buf, 4), "789#");
  EXPECT_EQ(adapter.read(9, buf, 1), 1u);
  EXPECT_EQ(buf[0], '9');
  // At or past the end nothing is read or written.
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(adapter.read(10, buf, 4), 0u);
  EXPECT_EQ(adapter.read(~0ull, buf, 4), 0u);
  EXPECT_EQ(adapter.read(3, buf, 0), 0u);
  EXPECT_EQ(buf[0], '#');
}

TEST(MemAdapter, EmptyBytes)
{
  const MemAdapter adapter(nullptr, 0);
  char buf[1] = {'#'};
  EXPECT_EQ(adapter.size(), 0u);
  EXPECT_EQ(adapter.read(0, buf, 1), 0u);
  EXPECT_EQ(buf[0], '#');
}

TEST(LoadArchive, RejectsBytesThatAreNoArchive)
{
  const char empty[1] = {0};
  EXPECT_THROW(load_archive(empty, 0, c10::Device(c10::kCPU)), std::exception);
  const std::string junk(4096, 'x');
  EXPECT_THROW(load_archive(junk.data(), junk.size(), c10::Device(c10::kCPU)), std::exception);
}

// ---- Signatures on modules built here ------------------------------------------------------

// A module whose named_parameters(true) lists exactly `names` (dotted paths make sub-modules).
torch::jit::Module module_with(const std::vector<std::string>& names)
{
  torch::jit::Module root("Root");
  for (const std::string& name : names) {
    // Modules are handles: registering on a copy changes the module inside its parent.
    torch::jit::Module parent = root;
    size_t start = 0;
    for (size_t dot; (dot = name.find('.', start)) != std::string::npos; start = dot + 1) {
      const std::string part = name.substr(start, dot - start);
      const c10::IValue child = parent.attr(part, c10::IValue());
      torch::jit::Module next = child.isModule() ? child.toModule() : torch::jit::Module("M_" + part);
      if (!child.isModule())
        parent.register_module(part, next);
      parent = next;
    }
    parent.register_parameter(name.substr(start), at::zeros({1}), false);
  }
  return root;
}

std::vector<std::string> names_of(const NetworkSignature& s, size_t count)
{
  std::vector<std::string> names;
  for (size_t i = 0; i < count; ++i)
    names.push_back("p" + std::to_string(i) + ".w");
  if (count > 0)
    names.front() = std::string(s.first);
  if (s.middle_index < count)
    names[s.middle_index] = std::string(s.middle);
  if (count > 1)
    names.back() = std::string(s.last);
  return names;
}

TEST(NetworkSignature, ChecksCountAndThreeNamesExactly)
{
  const NetworkSignature& seq = sequence_signature(2);
  ASSERT_EQ(seq.count, 70u);
  EXPECT_TRUE(matches_signature(module_with(names_of(seq, 70)), seq));
  EXPECT_FALSE(matches_signature(module_with(names_of(seq, 69)), seq));
  EXPECT_FALSE(matches_signature(module_with(names_of(seq, 72)), seq));
  EXPECT_TRUE(matches_signature(module_with(names_of(seq, 72)), sequence_signature(4)));

  // A list shorter than the middle index cannot match, even with count 0 expected nowhere.
  EXPECT_FALSE(matches_signature(module_with(names_of(seq, 5)), seq));
  EXPECT_FALSE(matches_signature(torch::jit::Module("Empty"), seq));

  for (int which = 0; which < 3; ++which) {
    for (const char* suffix : {"x", ""}) {
      std::vector<std::string> names = names_of(seq, 70);
      std::string& name = which == 0 ? names.front() : which == 1 ? names[10] : names.back();
      // One character more, or one fewer: the length must match, not just a prefix.
      if (*suffix)
        name += suffix;
      else
        name.pop_back();
      EXPECT_FALSE(matches_signature(module_with(names), seq)) << name;
    }
  }
}

// ---- The built companions ------------------------------------------------------------------

TEST(Companion, ExportsOnlyTheGettersOfItsPack)
{
  OPEN_COMPANION_OR_SKIP(tiny, "tiny");
  for (ModelCode code : kAllModelCodes)
    EXPECT_NE(tiny.getter(code), nullptr) << model_code_name(code);
  EXPECT_EQ(tiny.symbol("magnifex_blob_0"), nullptr);

  OPEN_COMPANION_OR_SKIP(missing, "broken-missing-4CGstG");
  for (ModelCode code : kAllModelCodes)
    EXPECT_EQ(missing.getter(code) == nullptr, code == ModelCode::k4CGstG) << model_code_name(code);
}

TEST(Companion, GettersHandOutStableDedupedBytes)
{
  OPEN_COMPANION_OR_SKIP(tiny, "tiny");
  std::vector<Archive> archives;
  for (ModelCode code : kAllModelCodes) {
    size_t size = 0;
    const void* first = tiny.getter(code)(&size);
    Archive again = tiny.archive(code);
    EXPECT_EQ(again.data, first);
    EXPECT_EQ(again.size, size);
    EXPECT_GT(size, 0u) << model_code_name(code);
    archives.push_back(again);
  }
  // Archives with the same content are one copy in the library.
  for (size_t i = 0; i < archives.size(); ++i)
    for (size_t j = i + 1; j < archives.size(); ++j) {
      const bool same =
        archives[i].size == archives[j].size && std::memcmp(archives[i].data, archives[j].data, archives[i].size) == 0;
      EXPECT_EQ(same, archives[i].data == archives[j].data)
        << model_code_name(kAllModelCodes[i]) << " / " << model_code_name(kAllModelCodes[j]);
    }
}

TEST(Companion, EveryTinyArchiveLoadsAndMeetsItsSignature)
{
  OPEN_COMPANION_OR_SKIP(tiny, "tiny");
  for (ModelCode code : kAllModelCodes) {
    const Archive a = tiny.archive(code);
    torch::jit::Module module = load_archive(a.data, a.size, c10::Device(c10::kCPU));
    EXPECT_TRUE(matches_signature(module, signature_for(code))) << model_code_name(code);
    for (const auto& p : module.parameters(true))
      EXPECT_TRUE(p.device().is_cpu());
  }
}

// Count and names of an archive's parameter list.
struct Listing {
  size_t count = 0;
  std::string first, middle, last;
};

Listing listing_of(const torch::jit::Module& module, size_t middle_index)
{
  Listing l;
  for (const auto& p : module.named_parameters(true)) {
    if (l.count == 0)
      l.first = p.name;
    if (l.count == middle_index)
      l.middle = p.name;
    l.last = p.name;
    ++l.count;
  }
  return l;
}

// The broken packs change the count only: the three names still match, so the count alone rejects.
void expect_count_alone_breaks(const Companion& companion, ModelCode code, size_t count)
{
  const NetworkSignature& signature = signature_for(code);
  const Archive a = companion.archive(code);
  const torch::jit::Module module = load_archive(a.data, a.size, c10::Device(c10::kCPU));
  const Listing l = listing_of(module, signature.middle_index);
  EXPECT_EQ(l.count, count) << model_code_name(code);
  EXPECT_EQ(l.first, signature.first);
  EXPECT_EQ(l.middle, signature.middle);
  EXPECT_EQ(l.last, signature.last);
  EXPECT_FALSE(matches_signature(module, signature)) << model_code_name(code);
}

TEST(Companion, StillArchivesWith701ParametersFailTheirSignature)
{
  OPEN_COMPANION_OR_SKIP(broken, "broken-still-701");
  for (ModelCode code : {ModelCode::k2PstG, ModelCode::k2PstP, ModelCode::k4PstG, ModelCode::k4PstP, ModelCode::k2CGstG,
                         ModelCode::k4CGstP})
    expect_count_alone_breaks(broken, code, 701);
}

TEST(Companion, Sequence2xArchivesWith72ParametersFailTheirSignature)
{
  OPEN_COMPANION_OR_SKIP(broken, "broken-seq2x-72");
  for (ModelCode code : {ModelCode::k2PAsrG, ModelCode::k2PAsrP, ModelCode::k2CGsrG, ModelCode::k2CGsrP})
    expect_count_alone_breaks(broken, code, 72);
  // 72 is right at 4x: those archives are untouched and pass.
  const Archive a = broken.archive(ModelCode::k4PAsrG);
  EXPECT_TRUE(
    matches_signature(load_archive(a.data, a.size, c10::Device(c10::kCPU)), signature_for(ModelCode::k4PAsrG)));
}

TEST(Companion, ZeroByteArchivesFailToLoad)
{
  for (const char* name : {"broken-empty-still", "broken-empty-plates-seq"}) {
    OPEN_COMPANION_OR_SKIP(broken, name);
    int empty = 0;
    for (ModelCode code : kAllModelCodes) {
      const Archive a = broken.archive(code);
      if (!a.data || a.size != 0)
        continue;
      ++empty;
      EXPECT_THROW(load_archive(a.data, a.size, c10::Device(c10::kCPU)), std::exception)
        << name << " " << model_code_name(code);
    }
    EXPECT_GT(empty, 0) << name;
  }
}

} // namespace
