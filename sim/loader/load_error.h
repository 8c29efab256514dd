// Why an image was refused: one line naming the file and the problem.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace kl::sim {

class LoadError : public std::runtime_error {
 public:
  LoadError(std::string_view file, std::string_view problem)
      : std::runtime_error(std::string(file) + ": " + std::string(problem)) {}
};

}  // namespace kl::sim
