// How the setup command reports failure: as a returned value holding a one-line
// message that names the path concerned. No exceptions, no out-parameters.
#pragma once

#include <optional>
#include <string>

namespace qorda::setup {

// Nothing on success, else what went wrong.
using Error = std::optional<std::string>;

// A value, meaningful only when there is no error.
template <typename T>
struct Result {
  T value{};
  Error error;
};

}  // namespace qorda::setup
