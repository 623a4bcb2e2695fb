// What the pipeline is rendering: plates (colour only), CG (colour and a straight matte) or a
// hybrid of the two. The node maps its knob entries onto it.
#pragma once

namespace magnifex {

enum class Material { Plates, CG, Hybrid };

} // namespace magnifex
