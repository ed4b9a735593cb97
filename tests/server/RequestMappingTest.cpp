// How a GET path becomes a cached file, a fetch and a content type: the
// mapping alone, without a server or a disk.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/HTTPServer.h"

namespace {

constexpr const char* kRoot = "/cache/";
constexpr const char* kSwf = "application/x-shockwave-flash";
constexpr const char* kHtml = "text/html";

struct Row {
  std::string path;
  std::string remote;
  std::string type;
  std::string directory;
  std::string local;
  bool refresh;
};

TEST(RequestMapping, FollowsTheRulesOfTheCache) {
  const std::vector<Row> rows = {
      // One leading slash, or two, is dropped; a file directly in the cache
      // gets a doubled separator, which the file system takes for one.
      {"/a.swf", "a.swf", kSwf, "", "/cache//a.swf", false},
      {"//a.swf", "a.swf", kSwf, "", "/cache//a.swf", false},
      // The extension is looked up in lower case; the name keeps its case.
      {"/a.SWF", "a.SWF", kSwf, "", "/cache//a.SWF", false},
      {"/s/t.CSS", "s/t.CSS", "text/css", "/cache/s", "/cache/s/t.CSS", false},
      {"/INDEX.HTML", "INDEX.HTML", kHtml, "", "/cache//INDEX.HTML", false},
      // No entry, or no extension at all: text/html.
      {"/pics/p.png", "pics/p.png", kHtml, "/cache/pics", "/cache/pics/p.png", false},
      {"/notes", "notes", kHtml, "", "/cache//notes", false},
      {"/a.b/notes", "a.b/notes", kHtml, "/cache/a.b", "/cache/a.b/notes", false},
      // The query after the last '?' prefixes the cached name and stays in the fetch.
      {"/course/unit1/a.mp3?ver2", "course/unit1/a.mp3?ver2", "audio/mpeg", "/cache/course/unit1",
       "/cache/course/unit1/ver2a.mp3", false},
      {"/a.swf?v1?v2", "a.swf?v1?v2", kHtml, "", "/cache//v2a.swf?v1", false},
      // A '?' at position 0 starts no query.
      {"/?v1.swf", "?v1.swf", kSwf, "", "/cache//?v1.swf", false},
      // XML files: one copy whatever the query, fetched on every request.
      {"/data/list.xml?ver3", "data/list.xml?ver3", kHtml, "/cache/data", "/cache/data/list.xml", true},
      {"/data/List.XML", "data/List.XML", kHtml, "/cache/data", "/cache/data/List.XML", true},
      // The boot movie, anywhere in the request, is fetched on every request too.
      {"/qzboot.swf", "qzboot.swf", kSwf, "", "/cache//qzboot.swf", true},
      {"/course/qzboot.swf?v2", "course/qzboot.swf?v2", kSwf, "/cache/course", "/cache/course/v2qzboot.swf", true},
      {"/a.swf?qzboot.swf", "a.swf?qzboot.swf", kSwf, "", "/cache//qzboot.swfa.swf", true},
      {"/QZBOOT.SWF", "QZBOOT.SWF", kSwf, "", "/cache//QZBOOT.SWF", false},
      // Dots inside a name are no dot segment.
      {"/a..b.swf", "a..b.swf", kSwf, "", "/cache//a..b.swf", false},
  };
  const auto types = DefaultMimeTypes();
  for (const Row& row : rows) {
    const auto mapping = MapRequestPath(row.path, kRoot, types);
    ASSERT_TRUE(mapping) << row.path;
    EXPECT_EQ(mapping->strRemotePath, row.remote) << row.path;
    EXPECT_EQ(mapping->strContentType, row.type) << row.path;
    EXPECT_EQ(mapping->strDirectory, row.directory) << row.path;
    EXPECT_EQ(mapping->strLocalPath, row.local) << row.path;
    EXPECT_EQ(mapping->bRefresh, row.refresh) << row.path;
  }
}

TEST(RequestMapping, RefusesPathsLeavingTheCacheOrTheSite) {
  const std::vector<std::string> refused = {
      "/../../outside.swf",
      "/course/../../../outside.swf",
      "/..",
      "/../outside.xml",
      "/x/..?v",
      "///tmp/outside.swf",
      "/..\\..\\outside.swf",
      "/a\\b.swf",
      std::string("/a.swf\0.x", 9),
      "/%2e%2e/%2e%2e/outside.swf",
      "/.%2E/outside.xml",
      "/%2e/a.swf",
      "/sub/..%2f..%2f..%2foutside.swf",
      "/sub/%2e%2e%5c%2e%2e%5coutside.swf",
      "/a%00.swf",
      "/a.swf?../../../outside",
      "/.?.",
      "/qzboot.swf?/../../x",
  };
  const auto types = DefaultMimeTypes();
  for (const std::string& path : refused) EXPECT_FALSE(MapRequestPath(path, kRoot, types)) << path;
}

}  // namespace
