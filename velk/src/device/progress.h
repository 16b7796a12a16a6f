// The host's progress callback as the operations call it. A null callback reports nothing.
#pragma once

#include <cstdint>

#include "velk.h"

namespace velk {

class Progress {
 public:
  explicit Progress(velk_progress_fn callback = nullptr) : callback_(callback) {}
  void operator()(std::uint64_t done, std::uint64_t total) const {
    if (callback_ != nullptr) callback_(done, total);
  }

 private:
  velk_progress_fn callback_;
};

}  // namespace velk
