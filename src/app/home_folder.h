// Which folder holds config.ini and web/ when none is given, and what to tell a user whose home
// has no pages: a typo in --home otherwise gives a server that answers 404 without a word.
#pragma once

#include <filesystem>
#include <string>

namespace orvelle::app {

struct HomeChoice {
  std::filesystem::path home;
  std::string note;  // a line for the log when the choice needs explaining; empty otherwise
};

// The executable's folder, as it always was; when that cannot be written (an installed program
// in /usr/bin), the per-user folder $XDG_DATA_HOME/orvelle (or ~/.local/share/orvelle), made
// when missing.
HomeChoice DefaultHome(const std::filesystem::path& executable_folder);

// The folder of the running executable (the current folder when it cannot be read).
std::filesystem::path ExecutableFolder();

// One line when `web_folder` is missing: that every request will get 404, and where the shipped
// pages are; empty when the folder is there.
std::string MissingPagesNote(const std::filesystem::path& web_folder);

}  // namespace orvelle::app
