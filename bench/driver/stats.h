// Order statistics of timing samples.
#pragma once

#include <vector>

namespace qorda::bench {

struct Summary {
  double median = 0;
  double p99 = 0;
  std::size_t count = 0;
};

// Nearest-rank median and 99th percentile; zeros for no samples.
Summary summarize(std::vector<double> samples);

}  // namespace qorda::bench
