#include "render/sequence/SequenceMemory.h"

#include <ATen/ops/empty.h>
#include <ATen/ops/zeros.h>
#include <ATen/ops/zeros_like.h>

#include "render/sequence/PrerollFrames.h"

namespace magnifex {

namespace {

// Stores `value` at `index`, growing the vector as needed, so a slot always finds its entry.
template <class T>
void store_at(std::vector<T>& v, std::size_t index, T value)
{
  if (v.size() <= index)
    v.resize(index + 1);
  v[index] = std::move(value);
}

} // namespace

SequenceMemory::SequenceMemory()
    : hr_prev(at::zeros({1})), hr_prevB(at::zeros({1})), tensor_image_previous_fullres(at::zeros({1}))
{}

bool SequenceMemory::continues(int frame) const
{
  return sequence_state_continues(last_rendered_frame, frame);
}

void SequenceMemory::reset()
{
  state_saved.clear();
  hr_prevs.clear();
  hr_prevBs.clear();
  saved_previous_fullres.clear();
  saved_channel_sets.clear();
}

bool SequenceMemory::saved(std::size_t render_index) const
{
  return state_saved.size() > render_index && state_saved[render_index];
}

bool SequenceMemory::reset_if_channels_differ(std::size_t render_index, const std::string& channels)
{
  if (saved_channel_sets.size() <= render_index || saved_channel_sets[render_index] == channels)
    return false;
  reset();
  return true;
}

PatchState SequenceMemory::load(std::size_t slot, c10::Device device) const
{
  return PatchState{hr_prevs.at(slot).to(device), hr_prevBs.at(slot).to(device),
                    saved_previous_fullres.at(slot).to(device)};
}

void SequenceMemory::store_input(std::size_t slot, const at::Tensor& tensor_image)
{
  store_at(saved_previous_fullres, slot, tensor_image.detach().clone());
}

void SequenceMemory::store_results(std::size_t slot, const at::Tensor& hr_curr, const at::Tensor& hr_currB,
                                   const at::Tensor& placeholder_like)
{
  store_at(hr_prevs, slot, hr_curr);
  store_at(hr_prevBs, slot, hr_currB.defined() ? hr_currB : at::zeros_like(placeholder_like));
}

void SequenceMemory::keep_working_state(const PatchState& state)
{
  hr_prev = state.hr_prev;
  hr_prevB = state.hr_prevB;
  tensor_image_previous_fullres = state.previous;
}

void SequenceMemory::mark_saved(std::size_t render_index, const std::string& channels)
{
  store_at(saved_channel_sets, render_index, channels);
  if (state_saved.size() <= render_index)
    state_saved.resize(render_index + 1, false);
  state_saved[render_index] = true;
}

void SequenceMemory::release()
{
  hr_prev = at::empty({1});
  hr_prevB = at::empty({1});
  tensor_image_previous_fullres = at::empty({1});
  hr_prevs.clear();
  hr_prevBs.clear();
  saved_previous_fullres.clear();
}

} // namespace magnifex
