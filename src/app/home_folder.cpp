// The default home and the missing-pages line.
#include "app/home_folder.h"

#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace orvelle::app {
namespace fs = std::filesystem;
namespace {

// Where the Debian package puts the pages, then this build's install location and checkout.
constexpr const char* kPageFolders[] = {"/usr/share/orvelle/web", ORVELLE_INSTALLED_PAGES,
                                        ORVELLE_SOURCE_PAGES};

fs::path PerUserFolder() {
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data == '/') {
    return fs::path(data) / "orvelle";
  }
  if (const char* home = std::getenv("HOME"); home && *home == '/') {
    return fs::path(home) / ".local/share/orvelle";
  }
  return {};
}

}  // namespace

fs::path ExecutableFolder() {
  std::error_code error;
  auto exe = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::current_path() : exe.parent_path();
}

HomeChoice DefaultHome(const fs::path& executable_folder) {
  if (::access(executable_folder.c_str(), W_OK) == 0) return {executable_folder, {}};
  const fs::path user = PerUserFolder();
  std::error_code error;
  if (user.empty() || (fs::create_directories(user, error), error)) {
    return {executable_folder, {}};  // nowhere better: the old place, whose failures say why
  }
  return {user, "The program's folder " + executable_folder.string() +
                    " cannot be written, so the home folder (config.ini and web/) is " +
                    user.string() + " (choose another with --home)."};
}

std::string MissingPagesNote(const fs::path& web_folder) {
  std::error_code error;
  if (fs::is_directory(web_folder, error)) return {};
  std::string pages = kPageFolders[0];
  for (const char* folder : kPageFolders) {
    if (fs::is_directory(folder, error)) {
      pages = folder;
      break;
    }
  }
  return "There is no folder " + web_folder.string() +
         ", so every request will get 404 (is --home right?). The shipped pages are in " + pages +
         ": copy them there (cp -r " + pages + " " + web_folder.parent_path().string() +
         "/) or start with --home at a folder that holds web/.";
}

}  // namespace orvelle::app
