#include "host/CommandBridge.h"

#include <sys/utsname.h>

#include <array>
#include <cstdio>
#include <utility>

#include "support/Xml.h"

namespace host {

namespace {

struct Word {
  const char* text;
  ECommand command;
  std::size_t firstPosition;  // earliest byte position at which the word counts
};

// Searched in this order; the first word the request contains wins.
constexpr std::array<Word, 12> kWords{{
    {"CloseWinExe", ECommand::CloseWinExe, 2},
    {"LocalFileClear", ECommand::LocalFileClear, 2},
    {"RecStart", ECommand::RecStart, 1},
    {"RecStop", ECommand::RecStop, 1},
    {"getWelcome", ECommand::getWelcome, 2},
    {"getOSVersion", ECommand::getOSVersion, 2},
    {"getWinSize", ECommand::getWinSize, 2},
    {"getClient", ECommand::getClient, 2},
    {"test_wave", ECommand::test_wave, 2},
    {"run_recognize", ECommand::run_recognize, 2},
    {"reco_word", ECommand::reco_word, 2},
    {"play_file", ECommand::play_file, 2},
}};

constexpr const char* kUnknownOS = "未知";

constexpr const char* kUploadArgument[] = {
    "//invoke/arguments/array/property[@id=0]/string",
    "//invoke/arguments/array/property[@id=1]/string",
    "//invoke/arguments/array/property[@id=2]/string",
};

}  // namespace

ECommand ChooseCommand(const std::string& name, const std::string& request) {
  if (name == "RecUpload") return ECommand::RecUpload;
  if (name == "PlayLuYin") return ECommand::PlayLuYin;
  for (const Word& word : kWords) {
    // Only the first occurrence is looked at, as the original did.
    auto pos = request.find(word.text);
    if (pos != std::string::npos && pos >= word.firstPosition) return word.command;
  }
  return ECommand::None;
}

CMovieCall ReadMovieCall(const std::string& request) {
  VeldXml::CXmlDocument doc;
  // A blank string argument is the pupil's value, not layout.
  doc.SetPreserveWhiteSpace(true);
  doc.LoadXml(request);
  VeldXml::CXmlNode root = doc.GetRoot();
  CMovieCall call;
  call.command = ChooseCommand(root.IsNull() ? std::string() : root.GetAttribute("name"), request);
  if (call.command != ECommand::RecUpload) return call;
  const auto argument = [&doc](int i, const char* absent) {
    VeldXml::CXmlNode node = doc.SelectSingleNode(kUploadArgument[i]);
    return node.IsNull() ? std::string(absent) : node.GetInnerXml();
  };
  call.strUid = argument(0, "");
  call.strTid = argument(1, "");
  call.strEnglish = argument(2, "0");
  return call;
}

std::string GetOSNameFor(const std::string& platform, int major, int minor) {
  if (platform == "NT") {
    if (major == 5) return minor == 0 ? "WIN2K" : "WINXP";
    if (major == 6) return minor == 0 ? "VISTA" : "WIN7";
    if (major >= 7) return "WIN7";
    return kUnknownOS;
  }
  if (platform == "9x") {
    if (major == 4) return minor < 90 ? "WIN98" : "WINME";
    return kUnknownOS;
  }
  return kUnknownOS;
}

std::string GetOSName() {
  // This platform is neither NT nor 9x; the kernel's name decides that.
  utsname info{};
  std::string platform = uname(&info) == 0 ? info.sysname : "";
  int major = 0, minor = 0;
  std::sscanf(info.release, "%d.%d", &major, &minor);
  return GetOSNameFor(platform, major, minor);
}

std::string FormatNotification(const std::string& name, const std::string& argument) {
  // Inserted as they are, without escaping.
  return "<invoke name='" + name + "' returntype='xml'><arguments><string>" + argument +
         "</string></arguments></invoke>";
}

}  // namespace host
