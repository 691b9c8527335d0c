// A tiny static-file server on THTTPServer for bench/static_files.sh: serves the regular files
// under --root with SendFile on 127.0.0.1:--port, prints "port N" once it listens, and stops on
// SIGINT or SIGTERM.
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>

#include "http/exceptions.h"
#include "http/http_server.h"

namespace {

namespace fs = std::filesystem;
using orvelle::http::THTTPRequestInfo;
using orvelle::http::THTTPResponseInfo;
using orvelle::http::THTTPServer;
using orvelle::http::TPeerThread;

struct Options {
  fs::path root;
  int port = 0;
};

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view name = argv[i];
    if (name == "--root") {
      options.root = argv[i + 1];
    } else if (name == "--port") {
      options.port = std::atoi(argv[i + 1]);
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && !options.root.empty() && options.port >= 0 && options.port <= 65535;
}

// The document as a path under the root, or empty when it would step outside it.
fs::path FileFor(const fs::path& root, const std::string& document) {
  const fs::path relative = fs::path(document).relative_path();
  for (const fs::path& part : relative) {
    if (part == "..") return {};
  }
  return root / relative;
}

void Answer404(THTTPResponseInfo& response) {
  response.StatusCode(404);
  response.ContentType = "text/plain";
  response.ContentText = response.StatusText;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::cerr << "usage: orvelle_static_bench_server --root DIR --port N (0: any free port)\n";
    return 2;
  }
  // Blocked before any server thread starts, so only sigwait below ever takes these signals.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  THTTPServer server;
  server.ParseParams = false;
  server.OnCommandGet = [&server, root = options.root](TPeerThread& thread,
                                                       THTTPRequestInfo& request,
                                                       THTTPResponseInfo& response) {
    // Every connection carries one request; saying so keeps HTTP/1.1 clients from reusing it.
    response.Headers.SetValue("Connection", "close");
    const fs::path file = FileFor(root, request.Document);
    if (file.empty()) return Answer404(response);
    response.ContentType.clear();  // SendFile takes the type from the extension
    try {
      server.SendFile(thread, response, file.string());
    } catch (const orvelle::http::EFOpenError&) {
      Answer404(response);  // nothing was sent yet
    }
  };
  server.Bindings().Clear();
  auto& binding = server.Bindings().Add();
  binding.IP = "127.0.0.1";
  binding.Port = options.port;
  try {
    server.Active(true);
  } catch (const std::exception& e) {
    std::cerr << "orvelle_static_bench_server: " << e.what() << "\n";
    return 1;
  }
  std::cout << "port " << server.Bindings()[0].Port << std::endl;

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  server.Active(false);
  return 0;
}
