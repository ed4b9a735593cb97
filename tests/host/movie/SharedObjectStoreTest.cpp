// The movie's saved data on real files: what one store writes another reads,
// keys never become paths, damaged entries are skipped, a full or unwritable
// disk loses nothing already stored.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>

#include "SmallFilesystem.h"
#include "TempDir.h"
#include "host/movie/SharedObjectStore.h"

using host::CSharedObjectStore;
using namespace std::string_literals;
namespace fs = std::filesystem;

namespace {

const std::string kProgress = "127.0.0.1/qzboot.swf/progress";

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(SharedObjectStore, WhatOneStoreWritesTheNextReadsAndKeysNeverBecomePaths) {
  CTempDir temp;
  const std::string dir = temp.Path() + "/quillby/saved";
  const std::string traversal = "127.0.0.1/../../../escaped";
  {
    CSharedObjectStore store(dir);
    EXPECT_TRUE(store.LoadAll().empty());
    ASSERT_TRUE(store.Put(kProgress, "AL8AAAAp"));
    ASSERT_TRUE(store.Put(kProgress, "second value"));
    ASSERT_TRUE(store.Put(traversal, ""));
    ASSERT_TRUE(store.Put("学/生 \n\r\0x"s, "\0\xFF\n"s));
    ASSERT_TRUE(store.Put("gone", "soon"));
    ASSERT_TRUE(store.Remove("gone"));
    EXPECT_TRUE(store.Remove("never there"));
    EXPECT_FALSE(store.Put("", "no key"));
    EXPECT_FALSE(store.Put(std::string(CSharedObjectStore::kMaxKeySize + 1, 'k'), "v"));
    EXPECT_FALSE(store.Put("k", std::string(CSharedObjectStore::kMaxValueSize + 1, 'v')));
  }
  const std::map<std::string, std::string> expected = {
      {kProgress, "second value"}, {traversal, ""}, {"学/生 \n\r\0x"s, "\0\xFF\n"s}};
  EXPECT_EQ(CSharedObjectStore(dir).LoadAll(), expected);
  // Three files straight in the directory, named by hash: nothing above it
  // or below it, no copies left over.
  const auto names = Names(dir);
  ASSERT_EQ(names.size(), 3u);
  for (const auto& name : names) EXPECT_TRUE(std::regex_match(name, std::regex("[0-9a-f]{16}\\.saved"))) << name;
  EXPECT_EQ(Names(temp.Path()).size(), 5u);  // quillby, saved and the three
}

TEST(SharedObjectStore, EntryThatCannotBeReadBackIsSkippedWithOneLineEach) {
  CTempDir temp;
  CSharedObjectStore store(temp.Path());
  for (const std::string name : {"a", "b", "c", "d", "e"}) ASSERT_TRUE(store.Put(name, "value of " + name));
  std::map<std::string, std::string> paths;  // the file of each key, found through its content
  for (const auto& entry : fs::directory_iterator(temp.Path()))
    for (const std::string name : {"a", "b", "c", "d", "e"})
      if (ReadWholeFile(entry.path()).find("value of " + name) != std::string::npos) paths[name] = entry.path();
  ASSERT_EQ(paths.size(), 5u);
  const std::string whole = ReadWholeFile(paths["a"]);
  fs::resize_file(paths["a"], whole.size() - 3);  // truncated
  std::string flipped = ReadWholeFile(paths["b"]);
  flipped.back() ^= 1;  // one bit of the value changed
  std::ofstream(paths["b"], std::ios::binary | std::ios::trunc) << flipped;
  std::ofstream(paths["c"], std::ios::binary | std::ios::trunc) << "quillby-saved 9 1 1 00000000\nkv";
  std::ofstream(paths["d"], std::ios::binary | std::ios::trunc) << std::string(100, '\0');
  // Files the store did not name are none of its business.
  std::ofstream(temp.Path() + "/notes.txt") << "pupil's notes";

  ::testing::internal::CaptureStderr();
  const auto loaded = store.LoadAll();
  const std::string lines = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(loaded, (std::map<std::string, std::string>{{"e", "value of e"}}));
  EXPECT_EQ(CountOf(lines, "\n"), 4) << lines;
  EXPECT_EQ(CountOf(lines, " skipped: "), 4) << lines;
  EXPECT_NE(lines.find(paths["a"] + " skipped: truncated"), std::string::npos) << lines;
  EXPECT_NE(lines.find(paths["b"] + " skipped: damaged (checksum"), std::string::npos) << lines;
  EXPECT_NE(lines.find(paths["c"] + " skipped: written in another format"), std::string::npos) << lines;
  EXPECT_NE(lines.find(paths["d"] + " skipped: not a saved-data file"), std::string::npos) << lines;

  // The movie writes the lost entry again: it takes the damaged file's place.
  ASSERT_TRUE(store.Put("a", "new a"));
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(store.LoadAll().at("a"), "new a");
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(ReadWholeFile(paths["a"]).substr(ReadWholeFile(paths["a"]).size() - 5), "new a");
}

TEST(SharedObjectStore, FullDiskKeepsTheStoredValueAndIsReportedOnce) {
  CSmallFilesystem disk(64 * 1024);
  CSharedObjectStore store(disk.Path() + "/saved");
  ASSERT_TRUE(store.Put(kProgress, "stored before the disk filled"));
  disk.Fill();
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(store.Put(kProgress, std::string(200 * 1024, 'x')));
  EXPECT_FALSE(store.Put("another", std::string(200 * 1024, 'y')));
  const std::string lines = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(CountOf(lines, "\n"), 1) << lines;
  EXPECT_NE(lines.find("saved data cannot be written to " + disk.Path() + "/saved: "), std::string::npos) << lines;
  EXPECT_EQ(CSharedObjectStore(disk.Path() + "/saved").LoadAll(),
            (std::map<std::string, std::string>{{kProgress, "stored before the disk filled"}}));
  EXPECT_EQ(Names(disk.Path() + "/saved").size(), 1u);  // no half-written copy left
}

TEST(SharedObjectStore, StoreThatCannotBeCreatedIsReportedOnce) {
  CTempDir temp;
  std::ofstream(temp.Path() + "/quillby") << "a file where the directory should be";
  CSharedObjectStore store(temp.Path() + "/quillby/saved");
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(store.Put(kProgress, "v"));
  EXPECT_FALSE(store.Put(kProgress, "v"));
  EXPECT_TRUE(store.LoadAll().empty());
  const std::string lines = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(CountOf(lines, "\n"), 1) << lines;
  EXPECT_NE(lines.find("Not a directory"), std::string::npos) << lines;
}

}  // namespace
