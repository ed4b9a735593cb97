#include "host/DeleteTree.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {
class DeleteTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("deltree-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root);
  }
  void TearDown() override {
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(root);
  }
  static void Touch(const fs::path& p) { std::ofstream(p) << "x"; }
  fs::path root;
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
  EXPECT_TRUE(host::DeleteTree(sz.string()));
  EXPECT_TRUE(fs::exists(outside / "keep.txt"));
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
