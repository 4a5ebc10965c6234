#include "stats.h"

#include <algorithm>
#include <cmath>

namespace qorda::bench {
namespace {

double rank(const std::vector<double>& sorted, double fraction) {
  auto index = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
  return sorted[std::clamp<std::size_t>(index, 1, sorted.size()) - 1];
}

}  // namespace

Summary summarize(std::vector<double> samples) {
  if (samples.empty()) return {};
  std::sort(samples.begin(), samples.end());
  return {rank(samples, 0.5), rank(samples, 0.99), samples.size()};
}

}  // namespace qorda::bench
