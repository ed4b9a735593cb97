#pragma once
// The demo course: a boot movie that exercises every command of the shell's
// movie bridge, one lesson module with a movie, a picture and a sound, the
// module manifest and a start page.
#include <string>
#include <vector>

#include "ByteWriter.h"

namespace demo {

// Files below the site root.
inline constexpr char kBootMovie[] = "qzboot.swf";
inline constexpr char kManifest[] = "tovan.xml";
inline constexpr char kIndexPage[] = "INDEX.HTML";
inline constexpr char kModule[] = "course";  // the one top-level module directory
inline constexpr char kLessonMovie[] = "course/unit1/lesson1.swf";
inline constexpr char kPicture[] = "course/unit1/picture.png";
inline constexpr char kSound[] = "course/unit1/sound.mp3";  // made by the build from a tone

// The commands the boot movie sends through ExternalInterface.call.
inline constexpr char kRecStart[] = "RecStart";
inline constexpr char kRecStop[] = "RecStop";
inline constexpr char kPlayLuYin[] = "PlayLuYin";
inline constexpr char kRecUpload[] = "RecUpload";
inline constexpr char kGetWinSize[] = "getWinSize";
inline constexpr char kLocalFileClear[] = "LocalFileClear";
inline constexpr char kCloseWinExe[] = "CloseWinExe";
inline constexpr char kGetWelcome[] = "getWelcome";
inline constexpr char kGetClient[] = "getClient";
inline constexpr char kGetOSVersion[] = "getOSVersion";
inline constexpr char kTestWave[] = "test_wave";
inline constexpr char kRunRecognize[] = "run_recognize";
// The function the movie registers for the shell's upload notification.
inline constexpr char kUploadCallback[] = "UPOK";
// The boot movie's local shared object: visits (how often it started) and
// lastCall (the last command pressed).
inline constexpr char kProgressObject[] = "progress";

// The version text is the module's version in the manifest and the query of
// every module URL ("/course/unit1/lesson1.swf?v1"). Letters, digits, '.',
// '_' and '-' only.
bool IsValidVersion(const std::string& version);

swf::Bytes BuildBootMovie(const std::string& version);
swf::Bytes BuildLessonMovie();
swf::Bytes BuildPicture();
std::string BuildManifest(const std::string& version);
std::string BuildIndexPage();

// Writes every generated file below root (creating directories) and returns
// their relative paths. Throws std::runtime_error on a bad version or an I/O
// failure.
std::vector<std::string> WriteDemoCourse(const std::string& root, const std::string& version);

}  // namespace demo
