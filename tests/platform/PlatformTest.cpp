#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include "TempDir.h"
#include "platform/MessageBox.h"
#include "platform/Paths.h"

using namespace platform;

TEST(Paths, ExecutableDirectoryAndNameComeFromTheRunningBinary) {
  EXPECT_EQ(GetExeBaseName(), "platform_test");
  EXPECT_FALSE(GetExeDir().empty());
  EXPECT_NE(GetExeDir().back(), '/');
  EXPECT_EQ(GetExeDir() + "/" + GetExeBaseName(), GetExePath());
}

TEST(Paths, AppDataAndWindowsDirectoriesHonourTheOverrideThenXdg) {
  setenv("APPDATA", "/tmp/appdata-x", 1);
  setenv("WINDIR", "/tmp/windir-x", 1);
  EXPECT_EQ(GetAppDataDir(), "/tmp/appdata-x");
  EXPECT_EQ(GetWindowsDir(), "/tmp/windir-x");
  unsetenv("APPDATA");
  unsetenv("WINDIR");
  setenv("XDG_DATA_HOME", "/tmp/xdg-data", 1);
  setenv("XDG_STATE_HOME", "/tmp/xdg-state", 1);
  EXPECT_EQ(GetAppDataDir(), "/tmp/xdg-data");
  EXPECT_EQ(GetWindowsDir(), "/tmp/xdg-state");
  unsetenv("XDG_DATA_HOME");
  unsetenv("XDG_STATE_HOME");
  setenv("HOME", "/home/pupil", 1);
  EXPECT_EQ(GetAppDataDir(), "/home/pupil/.local/share");
  EXPECT_EQ(GetWindowsDir(), "/home/pupil/.local/state");
}

// Whatever the current directory is later, a relative setting names the
// same place: below the directory the program started in.
TEST(Paths, RelativeSettingsAreTakenAgainstTheStartDirectory) {
  const std::string start = GetStartDir();
  ASSERT_FALSE(start.empty());
  CScratchDir elsewhere;
  setenv("APPDATA", "rel/appdata", 1);
  setenv("WINDIR", "./windir", 1);
  EXPECT_EQ(GetAppDataDir(), start + "/rel/appdata");
  EXPECT_EQ(GetWindowsDir(), start + "/./windir");
  unsetenv("APPDATA");
  setenv("XDG_DATA_HOME", "xdg-data", 1);
  EXPECT_EQ(GetAppDataDir(), start + "/xdg-data");
  unsetenv("XDG_DATA_HOME");
  unsetenv("WINDIR");
  EXPECT_EQ(GetStartDir(), start);
}

TEST(MessageBoxes, DefaultCaptionIsTheExecutableNameAndRecorderSeesEveryBox) {
  auto recorder = std::make_shared<CRecordingPresenter>();
  auto previous = SetMessageBoxPresenter(recorder);
  EXPECT_EQ(MessageBox("Write file failed"), 1);
  MessageBox("connect()函数执行失败!", "错误");
  auto boxes = recorder->Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].caption, "platform_test");
  EXPECT_EQ(boxes[1].caption, "错误");
  EXPECT_EQ(boxes[1].text, "connect()函数执行失败!");
  SetMessageBoxPresenter(previous);
}
