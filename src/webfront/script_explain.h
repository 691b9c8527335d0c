// Script failures told in the server log (--explain-scripts): at most one line per page and line
// per minute, "Script /page.ovs:12: unknown function foo with 1 argument".
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "script/check/page_source.h"
#include "script/explain.h"

namespace orvelle::webfront {

class ExplainLog {
 public:
  using Clock = std::chrono::steady_clock;
  explicit ExplainLog(std::function<void(std::string_view)> log) : log_(std::move(log)) {}

  // Logs unless the same page and line was logged less than a minute before `now`.
  void Tell(const std::string& page, std::size_t file_line, std::string_view reason,
            Clock::time_point now = Clock::now());

 private:
  std::function<void(std::string_view)> log_;
  std::mutex mutex_;
  std::map<std::pair<std::string, std::size_t>, Clock::time_point> last_;  // guarded by mutex_
};

// One run's explainer: the run's line mapped to the page file's, the file read again only when
// the first failure is told.
class PageExplainer : public script::Explainer {
 public:
  PageExplainer(ExplainLog& log, std::string file, std::string shown)
      : log_(log), file_(std::move(file)), shown_(std::move(shown)) {}
  void Explain(int line, std::string_view reason) override;

 private:
  std::size_t FileLine(int line);

  ExplainLog& log_;
  std::string file_;   // the page file
  std::string shown_;  // the page as the log names it
  std::optional<script::check::PageSource> source_;
};

}  // namespace orvelle::webfront
