// What the files of the inference share. The rest of the driver includes inference.h.
#pragma once

#include <span>
#include <vector>

namespace ks::driver::inference_detail {

// The finite values, sorted: every result depends on the values alone, not on their order.
std::vector<double> finite_sorted(std::span<const double> values);

}  // namespace ks::driver::inference_detail
