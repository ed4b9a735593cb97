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
  script.Push({"ready"}).CallExternalInterface("call", 1).Do(S::kPop);
  return BuildSwf(script);
}

}  // namespace testing_support
