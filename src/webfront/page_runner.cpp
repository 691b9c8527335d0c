// The steps of a script request from the page file to the response body.
#include "page_runner.h"

#include "page_text.h"

namespace orvelle::webfront {

namespace {

void SetParamLines(script::TExecute& engine, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    std::size_t equals = line.find('=');
    if (equals == std::string::npos) {
      engine.SetVar("", line);
    } else {
      engine.SetVar(std::string_view(line).substr(0, equals),
                    std::string_view(line).substr(equals + 1));
    }
  }
}

}  // namespace

void SeedVariables(script::TExecute& engine, const PageRequest& request) {
  SetParamLines(engine, request.params);
  // Names only the server may set, whether or not it sets them for this run: a page must be
  // able to tell "no demo device" from a parameter posing as one.
  for (std::string_view name : kServerOnlyNames) engine.SetVar(name, "");
  SetParamLines(engine, request.server_variables);
  engine.SetVar("peerIP", request.peer_ip);
  engine.SetVar("peerPort", std::to_string(request.peer_port));
  engine.SetVar("q", "\"");
  engine.SetVar("pc", ")");
  engine.SetVar("po", "(");
}

namespace {

constexpr std::size_t kMaxKeptSlots = 4096;

// Tells the observer that the request is over however the run ends; it is declared after the
// engine, so it runs while the engine still exists.
class FinishedMark {
 public:
  explicit FinishedMark(RunObserver* observer) : observer_(observer) {}
  ~FinishedMark() {
    if (observer_) observer_->Finished();
  }
  FinishedMark(const FinishedMark&) = delete;
  FinishedMark& operator=(const FinishedMark&) = delete;

 private:
  RunObserver* observer_;
};

void CheckAndRun(script::TExecute& engine, const PreparedPage& page,
                 std::vector<std::string>& output, RunObserver* observer) {
  if (!page.block_error.empty()) {
    output.push_back(page.block_error);
    return;
  }
  if (observer && !observer->Starting()) return;
  engine.Run(page.lines);
}

}  // namespace

std::string RunPage(const PageRequest& request, script::ScriptHost& host,
                    std::vector<std::string>& output, RunObserver* observer,
                    script::TExecute::Mode mode, PageCache* cache) {
  const std::shared_ptr<const PreparedPage> page =
      cache ? cache->Get(request.path, request.file_info) : LoadPreparedPage(request.path);
  // A kept page keeps its engine too: the next run recycles it instead of analysing every line
  // again. An engine whose run ended in an exception here is not kept.
  const bool keep_engine = cache && mode == script::TExecute::Mode::kFast;
  std::unique_ptr<script::TExecute> engine = keep_engine ? page->shelf.Take() : nullptr;
  if (engine) {
    engine->Recycle(host);
  } else {
    engine = std::make_unique<script::TExecute>(host, mode);
  }
  {
    FinishedMark finished(observer);
    if (observer) observer->Created(*engine);
    SeedVariables(*engine, request);
    output.clear();
    try {
      CheckAndRun(*engine, *page, output, observer);
    } catch (const script::EStringListError&) {
      // A block read past the last line ends the run without a line of its own.
    } catch (const std::exception& error) {
      output.push_back(std::string("Script engine error: ") + error.what());
    }
  }
  // Every distinct variable name takes a slot for good; an engine that gathered many (from
  // parameter names, say) is let go rather than kept growing.
  if (keep_engine && engine->SlotCount() <= kMaxKeptSlots) page->shelf.Put(std::move(engine));
  return JoinLines(output);
}

}  // namespace orvelle::webfront
