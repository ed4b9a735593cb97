#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "TempDir.h"
#include "site/Fetch.h"

namespace fs = std::filesystem;

namespace {

class DirectoryTest : public ::testing::Test {
 protected:
  CTempDir m_dir;
  fs::path m_root = m_dir.Path();
};

TEST_F(DirectoryTest, AbsolutePathGetsEveryMissingLevelWithOrWithoutTrailingSeparator) {
  EnsureDirectoryPath((m_root / "course/unit1/pics").string());
  EnsureDirectoryPath((m_root / "course/unit2/").string());
  EXPECT_TRUE(fs::is_directory(m_root / "course/unit1/pics"));
  EXPECT_TRUE(fs::is_directory(m_root / "course/unit2"));
  // Existing levels are fine, and a run over them changes nothing.
  std::ofstream(m_root / "course/unit1/pics/p.gif") << "GIF";
  EnsureDirectoryPath((m_root / "course/unit1/pics").string());
  EXPECT_TRUE(fs::is_regular_file(m_root / "course/unit1/pics/p.gif"));
  EXPECT_NO_THROW(EnsureDirectoryPath("/"));
}

TEST_F(DirectoryTest, RelativePathIsCreatedBelowTheCurrentDirectory) {
  ASSERT_EQ(::chdir(m_root.c_str()), 0);
  EnsureDirectoryPath("a/b");
  EXPECT_TRUE(fs::is_directory(m_root / "a/b"));
  EXPECT_TRUE(PathExists("a/b/"));
}

TEST_F(DirectoryTest, EmptyPathIsRefused) {
  ASSERT_EQ(::chdir(m_root.c_str()), 0);
  EXPECT_THROW(EnsureDirectoryPath(""), std::invalid_argument);
  EXPECT_TRUE(fs::is_empty(m_root));
}

TEST_F(DirectoryTest, LevelThatCannotBeCreatedIsPassedOver) {
  std::ofstream(m_root / "plainfile") << "x";
  EXPECT_NO_THROW(EnsureDirectoryPath((m_root / "plainfile/sub/deeper").string()));
  EXPECT_TRUE(fs::is_regular_file(m_root / "plainfile"));
  EXPECT_FALSE(PathExists((m_root / "plainfile/sub").string()));
}

TEST_F(DirectoryTest, PathExistsForFilesAndDirectoriesOnly) {
  std::ofstream(m_root / "file.swf") << "FWS";
  EXPECT_TRUE(PathExists((m_root / "file.swf").string()));
  EXPECT_TRUE(PathExists(m_root.string()));
  EXPECT_TRUE(PathExists(m_root.string() + "/"));
  EXPECT_FALSE(PathExists((m_root / "absent.swf").string()));
  EXPECT_FALSE(PathExists(""));
}

}  // namespace
