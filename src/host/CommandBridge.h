#pragma once
// The movie's commands: how a FlashCall request picks one, and the fixed
// texts of the replies and of the notification.
#include <string>

namespace host {

enum class ECommand {
  None,
  RecUpload,
  PlayLuYin,
  CloseWinExe,
  LocalFileClear,
  RecStart,
  RecStop,
  getWelcome,
  getOSVersion,
  getWinSize,
  getClient,
  test_wave,
  run_recognize,
  reco_word,
  play_file,
};

// name is the invoke element's "name" attribute (empty when the request did
// not parse); the word search runs on the whole request text.
ECommand ChooseCommand(const std::string& name, const std::string& request);

// A movie's call as the bridge reads its invoke document.
struct CMovieCall {
  ECommand command = ECommand::None;
  // RecUpload's string items 0 to 2 of its array argument, as markup; an
  // absent item is empty, an absent third one "0".
  std::string strUid;
  std::string strTid;
  std::string strEnglish;
};

// The request comes from the movie: any text at all.
CMovieCall ReadMovieCall(const std::string& request);

// The name table for a version report; GetOSName() asks this system.
std::string GetOSNameFor(const std::string& platform, int major, int minor);
std::string GetOSName();

std::string FormatNotification(const std::string& name, const std::string& argument);

inline constexpr const char* kReplyClient = "<string>client</string>";
inline constexpr const char* kReplyYes = "<string>1</string>";
inline constexpr const char* kReplyNo = "<string>0</string>";

}  // namespace host
