#pragma once
// The test movie: what a course movie does with the host, in little.
#include "host/movie/SwfFixture.h"

namespace testing_support {

// Frame 1:
//   ExternalInterface.addCallback("UPOK", null, function (a) {
//     ExternalInterface.call("upokCalled", a); return "done:" + a; });
//   r = ExternalInterface.call("getWelcome");
//   ExternalInterface.call("echo", r);
//   ExternalInterface.call("RecUpload", ["u1", "t2", "1"]);
//   ExternalInterface.call("types", 7, true, null, "<a&b>\"'", {k: "v"});
//   fscommand("quit", "now");
//   ExternalInterface.call("ready");
inline std::string BuildCourseMovie() {
  using S = CAvm1Script;
  S callback;
  callback.Push({"a"}).Do(S::kGetVariable).Push({"upokCalled"}).CallExternalInterface("call", 2).Do(S::kPop);
  callback.Push({"done:", "a"}).Do(S::kGetVariable).Do(S::kAdd2).Do(S::kReturn);

  S script;
  script.DefineFunction({"a"}, callback).Push({AvmValue::MakeNull(), "UPOK"}).CallExternalInterface("addCallback", 3);
  script.Do(S::kPop);

  script.Push({"r", "getWelcome"}).CallExternalInterface("call", 1).Do(S::kSetVariable);
  script.Push({"r"}).Do(S::kGetVariable).Push({"echo"}).CallExternalInterface("call", 2).Do(S::kPop);

  script.Push({"1", "t2", "u1", 3}).Do(S::kInitArray).Push({"RecUpload"}).CallExternalInterface("call", 2).Do(S::kPop);

  script.Push({"k", "v", 1}).Do(S::kInitObject);
  script.Push({"<a&b>\"'", AvmValue::MakeNull(), true, 7, "types"}).CallExternalInterface("call", 6).Do(S::kPop);

  script.FSCommand("quit", "now");
  script.Push({"t"}).Do(S::kGetVariable).Push({"text"}).Do(S::kGetMember);
  script.Push({"ready"}).CallExternalInterface("call", 2).Do(S::kPop);
  return BuildSwf(script);
}

}  // namespace testing_support

namespace testing_support {

// Frame 1: a device-font text field (no embedded font) showing text large,
// then ExternalInterface.call("ready", t.text).
inline std::string BuildDeviceTextMovie(const std::string& text) {
  using S = CAvm1Script;
  S script;
  script.Push({80, 380, 10, 10, 1, "t", 6, "_root"}).Do(S::kGetVariable).Push({"createTextField"});
  script.Do(S::kCallMethod).Do(S::kPop);
  script.Push({"t"}).Do(S::kGetVariable).Push({"html", true}).Do(S::kSetMember);
  script.Push({"t"}).Do(S::kGetVariable).Push({"htmlText", "<font size='60'>" + text + "</font>"}).Do(S::kSetMember);
  script.Push({"t"}).Do(S::kGetVariable).Push({"text"}).Do(S::kGetMember);
  script.Push({"ready"}).CallExternalInterface("call", 2).Do(S::kPop);
  return BuildSwf(script);
}

}  // namespace testing_support
