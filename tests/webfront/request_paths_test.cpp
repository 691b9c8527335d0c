// Tests of request path mapping, containment and the script/abort tests of request paths.
#include "webfront/request_paths.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace orvelle::webfront {
namespace {

const std::filesystem::path kWeb = "/srv/home/web";

struct MapCase {
  const char* document;
  const char* mapped;
  bool inside;
};

class MapDocumentTest : public ::testing::TestWithParam<MapCase> {};

TEST_P(MapDocumentTest, ResolvesAndContains) {
  const MapCase& c = GetParam();
  const auto mapped = MapDocument(kWeb, c.document);
  EXPECT_EQ(mapped.string(), c.mapped);
  EXPECT_EQ(IsInsideFolder(mapped, kWeb), c.inside);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, MapDocumentTest,
    ::testing::Values(MapCase{"/", "/srv/home/web/", true},
                      MapCase{"/index.html", "/srv/home/web/index.html", true},
                      MapCase{"/a/./b/../c.txt", "/srv/home/web/a/c.txt", true},
                      MapCase{"/docs", "/srv/home/web/docs", true},
                      MapCase{"//double//slash", "/srv/home/web/double/slash", true},
                      MapCase{"/..", "/srv/home/", false},
                      MapCase{"/../config.ini", "/srv/home/config.ini", false},
                      MapCase{"/a/../../config.ini", "/srv/home/config.ini", false},
                      MapCase{"/../../../../etc/passwd", "/etc/passwd", false},
                      // A sibling whose name only differs in case or continues the name.
                      MapCase{"/../Web/x.html", "/srv/home/Web/x.html", false},
                      MapCase{"/../web2/x.html", "/srv/home/web2/x.html", false},
                      MapCase{"/../web/x.html", "/srv/home/web/x.html", true},
                      // Not decoded, and a backslash is part of a file name.
                      MapCase{"/..%2fconfig.ini", "/srv/home/web/..%2fconfig.ini", true},
                      MapCase{"/..\\config.ini", "/srv/home/web/..\\config.ini", true},
                      MapCase{"/my%20page.ovs", "/srv/home/web/my%20page.ovs", true}));

// Differential: plain paths and folders skip the resolution, so every path, plain or not, must
// map, and be placed in or out of the folder, as a full resolution would.
TEST(MapDocumentDifferentialTest, AgreesWithFullResolution) {
  const std::vector<std::string> folders = {"/srv/home/web", "/srv/home/web/",  "/",
                                            "web",           "/srv/./home/web", "/srv//home/web"};
  const std::vector<std::string> pieces = {"/",  "//",  ".",  "..", "a",   "b.ovs", "...", ".x",
                                           "x.", "%2e", "\\", "/.", "/..", "./",    "../"};
  std::mt19937 random(31);
  for (int i = 0; i < 20000; ++i) {
    const std::string& folder = folders[random() % folders.size()];
    std::string document;
    const std::size_t count = random() % 7;
    for (std::size_t j = 0; j < count; ++j) document += pieces[random() % pieces.size()];
    std::string joined = folder;
    if (document.empty() || document.front() != '/') joined += '/';
    joined += document;
    ASSERT_EQ(MapDocument(folder, document).native(),
              std::filesystem::path(joined).lexically_normal().native())
        << "folder " << folder << " document " << document;
    // Containment and the part below the folder, against the folder resolved in full.
    const std::filesystem::path mapped = MapDocument(folder, document);
    std::string normal = std::filesystem::path(folder).lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    const std::string& text = mapped.native();
    const bool inside = text.compare(0, normal.size(), normal) == 0 &&
                        (text.size() == normal.size() || text[normal.size()] == '/');
    ASSERT_EQ(IsInsideFolder(mapped, folder), inside) << folder << " " << document;
    if (inside) {
      std::string below = text.substr(normal.size());
      if (below.empty() || below.front() != '/') below.insert(0, "/");
      ASSERT_EQ(PathBelowFolder(mapped, folder), below) << folder << " " << document;
    }
  }
}

TEST(IsInsideFolderTest, FolderWithTrailingSeparatorIsTheSame) {
  EXPECT_TRUE(IsInsideFolder("/srv/home/web/x", "/srv/home/web/"));
  EXPECT_TRUE(IsInsideFolder("/srv/home/web", "/srv/home/web"));
  EXPECT_FALSE(IsInsideFolder("/srv/home/we", "/srv/home/web"));
}

struct KindCase {
  const char* document;
  bool script;
  bool abort;
};

class RequestKindTest : public ::testing::TestWithParam<KindCase> {};

TEST_P(RequestKindTest, ScriptAndAbort) {
  const KindCase& c = GetParam();
  EXPECT_EQ(IsScriptRequest(c.document), c.script) << c.document;
  EXPECT_EQ(IsAbortRequest(c.document), c.abort) << c.document;
}

INSTANTIATE_TEST_SUITE_P(
    Documents, RequestKindTest,
    ::testing::Values(KindCase{"/page.ovs", true, false}, KindCase{"/page.OVS", true, false},
                      KindCase{"/page.ovs.txt", true, false},
                      KindCase{"/dir.Ovs/x.html", true, false}, KindCase{"/page.ov", false, false},
                      KindCase{"/pageovs", false, false}, KindCase{"/abort.ovs", true, true},
                      KindCase{"/sub/ABORT.ovs", true, true}, KindCase{"/xabort.ovs", true, true},
                      KindCase{"/abort.ov", false, false}));

}  // namespace
}  // namespace orvelle::webfront
