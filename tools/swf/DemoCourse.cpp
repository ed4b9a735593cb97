#include "DemoCourse.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "PngWriter.h"
#include "SwfMovie.h"

namespace demo {
namespace {

using swf::CActionBuilder;
using swf::CSwfMovie;
using swf::EditTextSpec;
using swf::PixelRect;
using swf::Rgb;
using swf::Twips;

constexpr uint8_t kSwfVersion = 8;
constexpr double kFrameRate = 12;
// The shell shows the movie in a 970 x 607 area in its window.
constexpr int kStageWidth = 970;
constexpr int kStageHeight = 607;
constexpr int kLessonWidth = 420;
constexpr int kLessonHeight = 230;
constexpr int kPictureWidth = 160;
constexpr int kPictureHeight = 120;

constexpr char kExternalInterface[] = "flash.external.ExternalInterface";
constexpr char kDeviceFont[] = "_sans";

constexpr Rgb kPaper{0xF6, 0xF1, 0xE3};
constexpr Rgb kInk{0x33, 0x33, 0x33};
constexpr Rgb kWhite{0xFF, 0xFF, 0xFF};
constexpr Rgb kButtonUp{0x2E, 0x7D, 0xBF};
constexpr Rgb kButtonOver{0x4A, 0x9B, 0xDD};
constexpr Rgb kButtonDown{0x1C, 0x5A, 0x8E};
constexpr Rgb kFrame{0x99, 0x88, 0x66};

// What the boot movie shows while nothing has answered yet.
constexpr char kNotUploaded[] = "未上传";
constexpr char kUploading[] = "上传中…";
constexpr char kUploadDone[] = "上传完成";
constexpr char kLoading[] = "载入中…";
constexpr char kLoaded[] = "已载入";
constexpr char kLoadFailed[] = "载入失败";

std::string ModuleUrl(const char* path, const std::string& version) { return std::string("/") + path + "?" + version; }

// A text field placed on the stage.
uint16_t Text(CSwfMovie& movie, uint16_t font, uint16_t depth, int x, int y, int w, int h, const std::string& text,
              const std::string& variable = "", int sizePx = 16, Rgb color = kInk) {
  EditTextSpec desc;
  desc.bounds = PixelRect(0, 0, w, h);
  desc.text = text;
  desc.variable = variable;
  desc.fontId = font;
  desc.fontHeight = static_cast<uint16_t>(Twips(sizePx));
  desc.color = color;
  const uint16_t id = movie.DefineEditText(desc);
  movie.PlaceObject2(depth, id, Twips(x), Twips(y));
  return id;
}

// An editable field bound to a variable, for the upload's identifiers.
void InputField(CSwfMovie& movie, uint16_t font, uint16_t depth, int x, int y, const std::string& variable,
                const std::string& initial) {
  EditTextSpec desc;
  desc.bounds = PixelRect(0, 0, 120, 24);
  desc.text = initial;
  desc.variable = variable;
  desc.fontId = font;
  desc.fontHeight = static_cast<uint16_t>(Twips(15));
  desc.readOnly = false;
  desc.selectable = true;
  desc.border = true;
  desc.maxLength = 40;
  movie.PlaceObject2(depth, movie.DefineEditText(desc), Twips(x), Twips(y));
}

void Button(CSwfMovie& movie, uint16_t font, uint16_t depth, int x, int y, const std::string& label,
            CActionBuilder onRelease) {
  constexpr int kWidth = 150, kHeight = 40;
  swf::ButtonSpec desc;
  desc.upShape = movie.DefineRectShape(PixelRect(0, 0, kWidth, kHeight), kButtonUp);
  desc.overShape = movie.DefineRectShape(PixelRect(0, 0, kWidth, kHeight), kButtonOver);
  desc.downShape = movie.DefineRectShape(PixelRect(0, 0, kWidth, kHeight), kButtonDown);
  EditTextSpec text;
  text.bounds = PixelRect(0, 9, kWidth, kHeight - 9);
  text.text = label;
  text.fontId = font;
  text.fontHeight = static_cast<uint16_t>(Twips(17));
  text.color = kWhite;
  text.align = EditTextSpec::kCenter;
  desc.labelId = movie.DefineEditText(text);
  desc.onRelease = std::move(onRelease);
  movie.PlaceObject2(depth, movie.DefineButton2(desc), Twips(x), Twips(y));
}

// The pupil's progress, kept by the shell from start to start: how often the
// course was opened (flushed at once) and the last command (saved when the
// program ends).
constexpr char kSavedObject[] = "_root.saved";
constexpr char kSavedData[] = "_root.saved.data";

// lastCall = saved.data.lastCall = name; ExternalInterface.call(name);
CActionBuilder CommandAction(const char* name) {
  CActionBuilder a;
  a.SetMemberTo("_root", "lastCall", std::string(name));
  a.SetMemberTo(kSavedData, "lastCall", std::string(name));
  a.ExternalCall(name, {}).Pop();
  return a;
}

// saved = SharedObject.getLocal("progress"); visits = ++saved.data.visits;
// lastCall = saved.data.lastCall; saved.flush();
CActionBuilder ProgressActions() {
  CActionBuilder a;
  a.PushPath("_root").Push({std::string("saved")});
  a.CallMethodOn("SharedObject", "getLocal", {std::string(kProgressObject)}).SetMember();
  a.PushPath(std::string(kSavedData) + ".visits").Push({swf::Undefined{}}).Equals2().Not().If("counted");
  a.SetMemberTo(kSavedData, "visits", int32_t{0});
  a.Label("counted");
  a.PushPath(kSavedData).Push({std::string("visits")}).PushPath(std::string(kSavedData) + ".visits");
  a.Push({int32_t{1}}).Add2().SetMember();
  a.PushPath("_root").Push({std::string("visits")}).PushPath(std::string(kSavedData) + ".visits").SetMember();
  a.PushPath(std::string(kSavedData) + ".lastCall").Push({swf::Undefined{}}).Equals2().If("noLastCall");
  a.PushPath("_root").Push({std::string("lastCall")}).PushPath(std::string(kSavedData) + ".lastCall").SetMember();
  a.Label("noLastCall");
  a.CallMethodOn(kSavedObject, "flush", {}).Pop();
  return a;
}

// Each query's reply goes into the text field bound to its variable.
CActionBuilder QueryActions() {
  const std::pair<const char*, const char*> queries[] = {
      {"welcomeText", kGetWelcome}, {"clientText", kGetClient},   {"osText", kGetOSVersion},
      {"outputText", kTestWave},    {"inputText", kRunRecognize},
  };
  CActionBuilder a;
  for (const auto& [variable, command] : queries) {
    a.PushPath("_root").Push({std::string(variable)});
    a.ExternalCall(command, {}).SetMember();
  }
  return a;
}

// ExternalInterface.call("RecUpload", [uid, tid, english]) with the values of
// the three input fields.
CActionBuilder UploadAction() {
  CActionBuilder a;
  a.SetMemberTo("_root", "lastCall", std::string(kRecUpload));
  a.SetMemberTo("_root", "uploadState", std::string(kUploading));
  a.PushPath("_root.english").PushPath("_root.tid").PushPath("_root.uid").Push({int32_t{3}}).InitArray();
  a.Push({std::string(kRecUpload)}).CallPushed(kExternalInterface, "call", 2).Pop();
  return a;
}

// _root[variable] = ok ? kLoaded : kLoadFailed, with ok the named argument.
CActionBuilder LoadStateBody(const std::string& variable, const std::string& argument) {
  CActionBuilder body;
  body.PushPath("_root").Push({variable}).Push({argument}).GetVariable();
  body.If("ok").Push({std::string(kLoadFailed)}).Jump("set");
  body.Label("ok").Push({std::string(kLoaded)});
  body.Label("set").SetMember();
  return body;
}

CActionBuilder ConstantBody(const std::string& variable, const std::string& value) {
  CActionBuilder body;
  body.SetMemberTo("_root", variable, value);
  return body;
}

// Frame actions: register UPOK, ask the shell its questions, and pull the
// lesson, the picture and the sound from the module directory.
CActionBuilder BootActions(const std::string& version) {
  CActionBuilder a = ProgressActions();

  // ExternalInterface.addCallback("UPOK", null, function () {...});
  CActionBuilder onUpload = ConstantBody("uploadState", kUploadDone);
  onUpload.Push({std::string(kUploadDone)}).Return();
  a.DefineFunction("", {"arg"}, onUpload).Push({nullptr, std::string(kUploadCallback)});
  a.CallPushed(kExternalInterface, "addCallback", 3).Pop();

  a.Append(QueryActions());

  // _root.createEmptyMovieClip("lesson", 100).loadMovie(url)
  a.CallMethodOn("_root", "createEmptyMovieClip", {std::string("lesson"), int32_t{100}}).Pop();
  a.SetMemberTo("_root.lesson", "_x", int32_t{520});
  a.SetMemberTo("_root.lesson", "_y", int32_t{150});
  a.CallMethodOn("_root.lesson", "loadMovie", {ModuleUrl(kLessonMovie, version)}).Pop();

  // The picture through a MovieClipLoader, so its arrival can be shown.
  a.CallMethodOn("_root", "createEmptyMovieClip", {std::string("picture"), int32_t{101}}).Pop();
  a.SetMemberTo("_root.picture", "_x", int32_t{520});
  a.SetMemberTo("_root.picture", "_y", int32_t{430});
  a.PushPath("_root").Push({std::string("mcl"), int32_t{0}, std::string("MovieClipLoader")}).NewObject().SetMember();
  a.PushPath("_root").Push({std::string("picListener"), int32_t{0}}).InitObject().SetMember();
  a.PushPath("_root.picListener").Push({std::string("onLoadInit")});
  a.DefineFunction("", {"target"}, ConstantBody("pictureState", kLoaded)).SetMember();
  a.PushPath("_root.picListener").Push({std::string("onLoadError")});
  a.DefineFunction("", {"target"}, ConstantBody("pictureState", kLoadFailed)).SetMember();
  a.PushPath("_root.picListener").CallPushed("_root.mcl", "addListener", 1).Pop();
  a.PushPath("_root.picture").Push({ModuleUrl(kPicture, version)}).CallPushed("_root.mcl", "loadClip", 2).Pop();

  // var snd = new Sound(); snd.onLoad = ...; snd.loadSound(url, false);
  a.PushPath("_root").Push({std::string("snd"), int32_t{0}, std::string("Sound")}).NewObject().SetMember();
  a.PushPath("_root.snd").Push({std::string("onLoad")});
  a.DefineFunction("", {"success"}, LoadStateBody("soundState", "success")).SetMember();
  a.CallMethodOn("_root.snd", "loadSound", {ModuleUrl(kSound, version), false}).Pop();

  a.Stop();
  return a;
}

void WriteFile(const std::filesystem::path& path, const void* data, size_t size) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

bool IsValidVersion(const std::string& version) {
  if (version.empty()) return false;
  for (unsigned char c : version)
    if (!std::isalnum(c) && c != '.' && c != '_' && c != '-') return false;
  return true;
}

swf::Bytes BuildBootMovie(const std::string& version) {
  CSwfMovie movie(kSwfVersion, PixelRect(0, 0, kStageWidth, kStageHeight), kFrameRate);
  movie.FileAttributes(CSwfMovie::kUseNetwork);
  movie.SetBackgroundColor(kPaper);
  const uint16_t font = movie.DefineDeviceFont(kDeviceFont);
  uint16_t depth = 1;

  Text(movie, font, depth++, 20, 12, 930, 36, "小学数学 · 演示课程", "", 26);

  // Commands, two rows.
  struct Command {
    const char* label;
    CActionBuilder action;
  };
  CActionBuilder playSound;
  playSound.CallMethodOn("_root.snd", "start", {}).Pop();
  Command commands[] = {
      {"开始录音", CommandAction(kRecStart)},       {"停止", CommandAction(kRecStop)},
      {"播放录音", CommandAction(kPlayLuYin)},      {"上传录音", UploadAction()},
      {"播放声音", std::move(playSound)},           {"全屏/窗口", CommandAction(kGetWinSize)},
      {"清除缓存", CommandAction(kLocalFileClear)}, {"查询", QueryActions()},
      {"关闭程序", CommandAction(kCloseWinExe)},
  };
  for (size_t i = 0; i < std::size(commands); ++i) {
    const int x = 20 + static_cast<int>(i % 5) * 160, y = 60 + static_cast<int>(i / 5) * 50;
    Button(movie, font, depth++, x, y, commands[i].label, std::move(commands[i].action));
  }

  // Replies of the shell, one line each: label, then the bound value.
  const std::pair<const char*, const char*> replies[] = {
      {"欢迎：", "welcomeText"},   {"客户端：", "clientText"},   {"操作系统：", "osText"},
      {"录音设备：", "inputText"}, {"放音设备：", "outputText"}, {"最后操作：", "lastCall"},
  };
  int y = 170;
  for (const auto& [label, variable] : replies) {
    Text(movie, font, depth++, 20, y, 130, 26, label);
    Text(movie, font, depth++, 150, y, 330, 26, "", variable);
    y += 30;
  }
  Text(movie, font, depth++, 20, y, 130, 26, "上传状态：");
  Text(movie, font, depth++, 150, y, 330, 26, kNotUploaded, "uploadState", 16, Rgb{0xB0, 0x30, 0x20});
  y += 40;
  const std::tuple<const char*, const char*, const char*> inputs[] = {
      {"用户编号：", "uid", "10001"}, {"题目编号：", "tid", "2001"}, {"英语（1 是）：", "english", "0"}};
  for (const auto& [label, variable, initial] : inputs) {
    Text(movie, font, depth++, 20, y, 130, 26, label);
    InputField(movie, font, depth++, 150, y, variable, initial);
    y += 32;
  }
  y += 16;
  Text(movie, font, depth++, 20, y, 130, 26, "打开次数：");
  Text(movie, font, depth++, 150, y, 330, 26, "", "visits");

  // The module's files: where they appear and whether they arrived.
  movie.PlaceObject2(
      depth++,
      movie.DefineRectShape(PixelRect(0, 0, kLessonWidth, kLessonHeight), kWhite, swf::Outline{Twips(1), kFrame}),
      Twips(520), Twips(150));
  Text(movie, font, depth++, 520, 390, 80, 26, "课件：");
  Text(movie, font, depth++, 580, 390, 120, 26, kLoading, "lessonState");
  Text(movie, font, depth++, 700, 430, 60, 26, "图片：");
  Text(movie, font, depth++, 760, 430, 120, 26, kLoading, "pictureState");
  Text(movie, font, depth++, 700, 460, 60, 26, "声音：");
  Text(movie, font, depth++, 760, 460, 120, 26, kLoading, "soundState");

  movie.DoAction(BootActions(version));
  movie.ShowFrame();
  return movie.Finish();
}

swf::Bytes BuildLessonMovie() {
  CSwfMovie movie(kSwfVersion, PixelRect(0, 0, kLessonWidth, kLessonHeight), kFrameRate);
  movie.FileAttributes(CSwfMovie::kUseNetwork);
  movie.SetBackgroundColor(kWhite);
  const uint16_t font = movie.DefineDeviceFont(kDeviceFont);
  movie.PlaceObject2(1, movie.DefineRectShape(PixelRect(0, 0, kLessonWidth, 44), Rgb{0xFF, 0xD8, 0x6B}), 0, 0);
  Text(movie, font, 2, 12, 8, 400, 30, "第一单元 · 第一课：认识加法", "", 20);
  Text(movie, font, 3, 12, 60, 400, 50, "小明有 3 个苹果，又买了 4 个，一共有几个？", "", 16);
  Text(movie, font, 4, 12, 120, 400, 70, "3 + 4 = 7", "", 48, Rgb{0xC0, 0x39, 0x2B});
  // The lesson runs inside the boot movie; level 0 is the boot movie.
  CActionBuilder a;
  a.SetMemberTo("_level0", "lessonState", std::string(kLoaded));
  a.Stop();
  movie.DoAction(a);
  movie.ShowFrame();
  return movie.Finish();
}

swf::Bytes BuildPicture() {
  // Three red and four green apples on a pale sky: 3 + 4 = 7.
  swf::CRgbImage image(kPictureWidth, kPictureHeight);
  for (uint32_t y = 0; y < image.height; ++y)
    for (uint32_t x = 0; x < image.width; ++x) image.Set(x, y, 0xDD, 0xEE, 0xFF);
  auto apple = [&image](int cx, int cy, Rgb c) {
    constexpr int kRadius = 14;
    for (int y = cy - kRadius; y <= cy + kRadius; ++y)
      for (int x = cx - kRadius; x <= cx + kRadius; ++x)
        if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= kRadius * kRadius)
          image.Set(static_cast<uint32_t>(x), static_cast<uint32_t>(y), c.r, c.g, c.b);
  };
  for (int i = 0; i < 3; ++i) apple(30 + i * 34, 34, Rgb{0xD0, 0x20, 0x20});
  for (int i = 0; i < 4; ++i) apple(22 + i * 38, 86, Rgb{0x30, 0xA0, 0x30});
  return swf::EncodePng(image);
}

std::string BuildManifest(const std::string& version) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
         "<config>\n"
         "  <DelMod>\n"
         "    <" +
         std::string(kModule) + ">" + version + "</" + kModule +
         ">\n"
         "  </DelMod>\n"
         "</config>\n";
}

std::string BuildIndexPage() {
  return "<!DOCTYPE html>\n<html lang=\"zh-CN\"><head><meta charset=\"utf-8\"><title>小学数学 演示课程</title></head>\n"
         "<body><h1>小学数学 演示课程</h1>\n"
         "<p>本课程由桌面程序打开：启动影片 <a href=\"qzboot.swf\">qzboot.swf</a>，"
         "模块清单 <a href=\"tovan.xml\">tovan.xml</a>。</p>\n"
         "</body></html>\n";
}

std::vector<std::string> WriteDemoCourse(const std::string& root, const std::string& version) {
  if (!IsValidVersion(version)) throw std::runtime_error("invalid version text: \"" + version + "\"");
  const std::filesystem::path base(root);
  std::vector<std::string> written;
  auto put = [&](const char* relative, const auto& content) {
    WriteFile(base / relative, content.data(), content.size());
    written.emplace_back(relative);
  };
  put(kBootMovie, BuildBootMovie(version));
  put(kLessonMovie, BuildLessonMovie());
  put(kPicture, BuildPicture());
  put(kManifest, BuildManifest(version));
  put(kIndexPage, BuildIndexPage());
  return written;
}

}  // namespace demo
