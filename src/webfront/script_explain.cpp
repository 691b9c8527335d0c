// The log of script failures and its limit per page and line.
#include "script_explain.h"

#include <fmt/format.h>

#include "base/file_io.h"

namespace orvelle::webfront {

namespace {
constexpr auto kQuietTime =
    std::chrono::minutes(1);  // a line repeats in the log at most this often
constexpr std::size_t kMaxRemembered =
    4096;  // pages and lines held; past it, old ones are forgotten
}  // namespace

void ExplainLog::Tell(const std::string& page, std::size_t file_line, std::string_view reason,
                      Clock::time_point now) {
  {
    std::lock_guard lock(mutex_);
    auto key = std::make_pair(page, file_line);
    auto found = last_.find(key);
    if (found != last_.end() && now - found->second < kQuietTime) return;
    if (found == last_.end() && last_.size() >= kMaxRemembered) {
      std::erase_if(last_, [now](const auto& entry) { return now - entry.second >= kQuietTime; });
      if (last_.size() >= kMaxRemembered) return;  // a flood of new lines: the first ones told it
    }
    last_[std::move(key)] = now;
  }
  log_(fmt::format("Script {}:{}: {}", page, file_line, reason));
}

void PageExplainer::Explain(int line, std::string_view reason) {
  log_.Tell(shown_, FileLine(line), reason);
}

std::size_t PageExplainer::FileLine(int line) {
  if (!source_) {
    try {
      source_ = script::check::LoadPageSource(base::ReadFileBytes(file_));
    } catch (const std::exception&) {
      source_.emplace();  // changed or gone since the run began: the script line stands in
    }
  }
  const auto index = static_cast<std::size_t>(line);
  if (index == 0 || index > source_->lines.size()) return index;
  return source_->lines[index - 1].file_line;
}

}  // namespace orvelle::webfront
