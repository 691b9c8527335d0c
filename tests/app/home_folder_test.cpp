// The default home: the program's folder while it can be written, else a per-user folder that
// is made and named; and the line for a home without pages.
#include "app/home_folder.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "../serial/temp_folder.h"

namespace orvelle::app {
namespace {

namespace fs = std::filesystem;

TEST(HomeFolder, UnwritableProgramFolderGivesANamedPerUserFolder) {
  serial::test::TempFolder folder;
  EXPECT_EQ(DefaultHome(folder.Path()).home, folder.Path());
  EXPECT_EQ(DefaultHome(folder.Path()).note, "");

  const char* before = std::getenv("XDG_DATA_HOME");
  const std::string kept = before ? before : "";
  ::setenv("XDG_DATA_HOME", (folder.Path() / "data").c_str(), 1);
  // No one may write a process's folder in /proc, root included.
  const HomeChoice chosen = DefaultHome("/proc/1");
  before ? ::setenv("XDG_DATA_HOME", kept.c_str(), 1) : ::unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(chosen.home, folder.Path() / "data/orvelle");
  EXPECT_TRUE(fs::is_directory(chosen.home));
  EXPECT_EQ(chosen.note,
            "The program's folder /proc/1 cannot be written, so the home folder "
            "(config.ini and web/) is " +
                chosen.home.string() + " (choose another with --home).");

  EXPECT_EQ(MissingPagesNote(folder.Path()), "");
  const std::string note = MissingPagesNote(folder.Path() / "web");
  EXPECT_TRUE(note.starts_with("There is no folder " + (folder.Path() / "web").string() +
                               ", so every request will get 404 (is --home right?). The "
                               "shipped pages are in "))
      << note;
  EXPECT_NE(note.find("cp -r "), std::string::npos) << note;
}

}  // namespace
}  // namespace orvelle::app
