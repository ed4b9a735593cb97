#include "host/CommandBridge.h"

#include <gtest/gtest.h>

using namespace host;

namespace {
std::string Invoke(const std::string& name, const std::string& args = "") {
  return "<invoke name=\"" + name + "\" returntype=\"xml\"><arguments>" + args + "</arguments></invoke>";
}
}  // namespace

TEST(ChooseCommand, EveryWordOfTheTableIsRecognisedFromARealRequest) {
  const std::pair<const char*, ECommand> table[] = {
      {"CloseWinExe", ECommand::CloseWinExe},   {"LocalFileClear", ECommand::LocalFileClear},
      {"RecStart", ECommand::RecStart},         {"RecStop", ECommand::RecStop},
      {"getWelcome", ECommand::getWelcome},     {"getOSVersion", ECommand::getOSVersion},
      {"getWinSize", ECommand::getWinSize},     {"getClient", ECommand::getClient},
      {"test_wave", ECommand::test_wave},       {"run_recognize", ECommand::run_recognize},
      {"reco_word", ECommand::reco_word},       {"play_file", ECommand::play_file},
  };
  for (const auto& [word, command] : table) EXPECT_EQ(ChooseCommand(word, Invoke(word)), command) << word;
  EXPECT_EQ(ChooseCommand("somethingElse", Invoke("somethingElse")), ECommand::None);
}

TEST(ChooseCommand, FirstWordOfTheTableOrderWinsWhereverItStands) {
  // A getOSVersion whose argument mentions CloseWinExe closes the program.
  EXPECT_EQ(ChooseCommand("getOSVersion", Invoke("getOSVersion", "<string>CloseWinExe</string>")),
            ECommand::CloseWinExe);
  EXPECT_EQ(ChooseCommand("getClient", Invoke("getClient", "<string>RecStop</string>")), ECommand::RecStop);
}

TEST(ChooseCommand, UploadAndPlaybackOnlyByExactName) {
  EXPECT_EQ(ChooseCommand("RecUpload", Invoke("RecUpload", "<string>CloseWinExe</string>")), ECommand::RecUpload);
  EXPECT_EQ(ChooseCommand("PlayLuYin", Invoke("PlayLuYin")), ECommand::PlayLuYin);
  EXPECT_EQ(ChooseCommand("recupload", Invoke("recupload")), ECommand::None);
  EXPECT_EQ(ChooseCommand("getWelcome", Invoke("getWelcome", "<string>RecUpload PlayLuYin</string>")),
            ECommand::getWelcome);
}

TEST(ChooseCommand, MalformedRequestsAreStillSearchedButNotAtTheVeryStart) {
  // A request that did not parse has no name; the words still count.
  EXPECT_EQ(ChooseCommand("", "<invoke name=\"getWinSize\" <<broken"), ECommand::getWinSize);
  EXPECT_EQ(ChooseCommand("", "xRecStart"), ECommand::RecStart);
  EXPECT_EQ(ChooseCommand("", "RecStart"), ECommand::None);
  EXPECT_EQ(ChooseCommand("", "xgetWelcome"), ECommand::None);
  EXPECT_EQ(ChooseCommand("", "xxgetWelcome"), ECommand::getWelcome);
  // Only the first occurrence counts.
  EXPECT_EQ(ChooseCommand("", "getClient getClient"), ECommand::None);
  EXPECT_EQ(ChooseCommand("", "<string>getclient</string>"), ECommand::None);
}

TEST(OSName, NameTableAndThisPlatform) {
  EXPECT_EQ(GetOSNameFor("NT", 5, 0), "WIN2K");
  EXPECT_EQ(GetOSNameFor("NT", 5, 2), "WINXP");
  EXPECT_EQ(GetOSNameFor("NT", 6, 0), "VISTA");
  EXPECT_EQ(GetOSNameFor("NT", 6, 3), "WIN7");
  EXPECT_EQ(GetOSNameFor("NT", 10, 0), "WIN7");
  EXPECT_EQ(GetOSNameFor("NT", 4, 0), "未知");
  EXPECT_EQ(GetOSNameFor("9x", 4, 10), "WIN98");
  EXPECT_EQ(GetOSNameFor("9x", 4, 90), "WINME");
  EXPECT_EQ(GetOSNameFor("9x", 5, 0), "未知");
  EXPECT_EQ(GetOSName(), "未知");
}

TEST(Notification, FormatIsInsertedWithoutEscaping) {
  EXPECT_EQ(FormatNotification("UPOK", ""),
            "<invoke name='UPOK' returntype='xml'><arguments><string></string></arguments></invoke>");
  EXPECT_EQ(FormatNotification("f", "a<b"),
            "<invoke name='f' returntype='xml'><arguments><string>a<b</string></arguments></invoke>");
}
