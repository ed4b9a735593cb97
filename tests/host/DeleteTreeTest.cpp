#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "TempDir.h"
#include "host/DeleteTree.h"

namespace fs = std::filesystem;

namespace {
class DeleteTreeTest : public ::testing::Test {
 protected:
  // So that the directory can go.
  void TearDown() override { fs::permissions(root, fs::perms::owner_all, fs::perm_options::add); }
  static void Touch(const fs::path& p) { std::ofstream(p) << "x"; }
  CTempDir m_tmp;
  fs::path root = m_tmp.Path();
};
}  // namespace

TEST_F(DeleteTreeTest, MissingDirectoryIsFalseAndChangesNothing) {
  EXPECT_FALSE(host::DeleteTree((root / "nope").string()));
  EXPECT_TRUE(fs::exists(root));
}

TEST_F(DeleteTreeTest, NestedDirectoriesGoDepthFirstThenTheDirectoryItself) {
  fs::path sz = root / "sz";
  fs::create_directories(sz / "course/unit1/deep");
  Touch(sz / "VerDel.Dat");
  Touch(sz / "course/unit1/v1a.swf");
  Touch(sz / "course/unit1/deep/b.mp3");
  EXPECT_TRUE(host::DeleteTree(sz.string()));
  EXPECT_FALSE(fs::exists(sz));
  EXPECT_TRUE(fs::exists(root));
}

TEST_F(DeleteTreeTest, LinksAreRemovedNotFollowed) {
  fs::path outside = root / "outside";
  fs::create_directories(outside);
  Touch(outside / "keep.txt");
  fs::path sz = root / "sz";
  fs::create_directories(sz);
  fs::create_directory_symlink(outside, sz / "link");
  Touch(root / "file");
  fs::create_symlink(root / "file", sz / "file-link");
  EXPECT_TRUE(host::DeleteTree(sz.string()));
  EXPECT_TRUE(fs::exists(outside / "keep.txt"));
  EXPECT_TRUE(fs::exists(root / "file"));
}

// A module directory, or the cache itself, that is a link: the link goes,
// and nothing where it points.
TEST_F(DeleteTreeTest, PathThatIsALinkRemovesTheLinkOnly) {
  fs::path elsewhere = root / "elsewhere";
  fs::create_directories(elsewhere / "sub");
  Touch(elsewhere / "keep.txt");
  Touch(elsewhere / "sub/keep.swf");
  fs::path sz = root / "sz";
  fs::create_directories(sz);
  fs::create_directory_symlink(elsewhere, sz / "course");
  EXPECT_TRUE(host::DeleteTree((sz / "course").string()));
  EXPECT_FALSE(fs::exists(fs::symlink_status(sz / "course")));
  fs::path cacheLink = root / "cache-link";
  fs::create_directory_symlink(elsewhere, cacheLink);
  EXPECT_TRUE(host::DeleteTree(cacheLink.string()));
  EXPECT_FALSE(fs::exists(fs::symlink_status(cacheLink)));
  EXPECT_TRUE(fs::exists(elsewhere / "keep.txt"));
  EXPECT_TRUE(fs::exists(elsewhere / "sub/keep.swf"));
}

TEST_F(DeleteTreeTest, LongPathsAreHandledWhole) {
  // Far beyond the old fixed buffers: the right files must go, nothing else.
  fs::path sz = root / "sz";
  fs::path deep = sz;
  for (int i = 0; i < 8; ++i) deep /= std::string(60, static_cast<char>('a' + i));
  fs::create_directories(deep);
  Touch(deep / "file.swf");
  fs::path sibling = root / "sz-sibling";
  fs::create_directories(sibling);
  Touch(sibling / "keep");
  EXPECT_TRUE(host::DeleteTree(sz.string()));
  EXPECT_FALSE(fs::exists(sz));
  EXPECT_TRUE(fs::exists(sibling / "keep"));
}
