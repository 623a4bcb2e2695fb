// What sequence mode keeps between renders: for every patch slot the last results and the last
// input patch, and for every render index whether its state is complete and which channels made it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <ATen/core/Tensor.h>
#include <c10/core/Device.h>

#include "render/sequence/RecurrentStep.h"

namespace magnifex {

class SequenceMemory {
public:
  SequenceMemory();

  // Whether a saved run goes on into `frame`: only the next consecutive frame continues it.
  bool continues(int frame) const;
  // Forgets every slot and every render index (the last rendered frame stays).
  void reset();
  // Nothing saved for any render index.
  bool empty() const { return state_saved.empty(); }

  // Whether render index r completed a frame whose state the next frame may load.
  bool saved(std::size_t render_index) const;
  // Resets when render index r was made with other channels; true when it did.
  bool reset_if_channels_differ(std::size_t render_index, const std::string& channels);

  // The saved state of a slot on the device. A slot this grid does not have is an error
  // (std::out_of_range), never a stray read.
  PatchState load(std::size_t slot, c10::Device device) const;
  // Whether the slot already holds an input patch (the debug stream says overwrite or append).
  bool holds_input(std::size_t slot) const { return saved_previous_fullres.size() > slot; }
  bool holds_results(std::size_t slot) const { return hr_prevs.size() > slot; }
  std::size_t result_count() const { return hr_prevs.size(); }
  void store_input(std::size_t slot, const at::Tensor& tensor_image);
  // hr_currB: an undefined tensor for plates, stored as zeros shaped like `placeholder_like`.
  void store_results(std::size_t slot, const at::Tensor& hr_curr, const at::Tensor& hr_currB,
                     const at::Tensor& placeholder_like);
  // The working state of the patch rendered last.
  void keep_working_state(const PatchState& state);
  // Render index r's frame is complete: the next frame may load it.
  void mark_saved(std::size_t render_index, const std::string& channels);
  // Drops every reference to device memory (before the host unloads the node).
  void release();

  int last_rendered_frame = 0;
  std::vector<bool> state_saved;
  std::vector<std::string> saved_channel_sets;
  std::vector<at::Tensor> hr_prevs;
  std::vector<at::Tensor> hr_prevBs;
  std::vector<at::Tensor> saved_previous_fullres;
  at::Tensor hr_prev, hr_prevB, tensor_image_previous_fullres;
};

} // namespace magnifex
