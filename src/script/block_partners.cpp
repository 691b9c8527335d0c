// Block partners found in one pass over the program's line kinds, by the rules of the scans the
// language defines: a false if skips to the first elseif or else on its own level or to its endif;
// a taken branch passes on from its else or elseif to the if's endif; a false while jumps to its
// wend; a procedure header is skipped to the first procend after it. A scan that would read past
// the last line keeps kRunsOffEnd, so the run ends where the scan would.
#include <vector>

#include "program.h"

namespace orvelle::script {

namespace {

// The lines of one if level still waiting for their partner.
struct IfLevel {
  std::vector<int> skipping;  // if and elseif lines: where a false condition lands
  std::vector<int> passing;   // else and elseif lines: where a taken branch ends
};

class IfWalk {
 public:
  explicit IfWalk(std::vector<LineInfo>& lines) : lines_(lines), levels_(1) {}

  void Step(int k) {
    const LineKind kind = lines_[k].kind;
    if (kind == LineKind::kElseIf) {
      Land(IfSkip::Kind::kElseIf, k);
      levels_.back().skipping.push_back(k);
      levels_.back().passing.push_back(k);
    } else if (kind == LineKind::kIf) {
      levels_.emplace_back().skipping.push_back(k);
    } else if (kind == LineKind::kElse) {
      Land(IfSkip::Kind::kElse, k);
      levels_.back().passing.push_back(k);
    } else if (kind == LineKind::kEndIf) {
      Land(IfSkip::Kind::kEndIf, k);
      for (int line : levels_.back().passing) lines_[line].pass_end = k;
      if (levels_.size() > 1) {
        levels_.pop_back();
      } else {
        levels_.back() = {};
      }
    }
  }

 private:
  void Land(IfSkip::Kind kind, int k) {
    for (int line : levels_.back().skipping) lines_[line].if_skip = {kind, k};
    levels_.back().skipping.clear();
  }

  std::vector<LineInfo>& lines_;
  std::vector<IfLevel> levels_;  // the outermost level is never closed
};

void FindWends(std::vector<LineInfo>& lines) {
  std::vector<int> open;
  for (int k = 0; k < static_cast<int>(lines.size()); ++k) {
    if (lines[k].kind == LineKind::kWhile) {
      open.push_back(k);
    } else if (lines[k].kind == LineKind::kWend && !open.empty()) {
      lines[open.back()].wend = k;
      open.pop_back();
    }
  }
}

void FindProcends(std::vector<LineInfo>& lines) {
  int next = -1;
  for (int k = static_cast<int>(lines.size()) - 1; k >= 0; --k) {
    if (lines[k].kind == LineKind::kProcEnd) next = k;
    lines[k].procend = next;
  }
}

}  // namespace

void FindBlockPartners(std::vector<LineInfo>& lines) {
  IfWalk walk(lines);
  for (int k = 0; k < static_cast<int>(lines.size()); ++k) walk.Step(k);
  FindWends(lines);
  FindProcends(lines);
}

}  // namespace orvelle::script
