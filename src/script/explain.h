// How a run says why a line did nothing. The page's output never changes for it; a run given an
// explainer tells it the line and the reason of each failure as it happens.
#pragma once

#include <string_view>

namespace orvelle::script {

class Explainer {
 public:
  virtual ~Explainer() = default;
  // `line` counts the script's lines from 1, as the block check numbers them.
  virtual void Explain(int line, std::string_view reason) = 0;
};

}  // namespace orvelle::script
