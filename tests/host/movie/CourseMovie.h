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

namespace testing_support {

// ExternalInterface.call(name) with no argument, its result dropped.
inline CAvm1Script& CallOut(CAvm1Script& script, const std::string& name) {
  return script.Push({name}).CallExternalInterface("call", 1).Do(CAvm1Script::kPop);
}

// ExternalInterface.call(name, <variable>), its result dropped.
inline CAvm1Script& CallOutWith(CAvm1Script& script, const std::string& name, const std::string& variable) {
  script.Push({variable}).Do(CAvm1Script::kGetVariable).Push({name});
  return script.CallExternalInterface("call", 2).Do(CAvm1Script::kPop);
}

// <variable> = ExternalInterface.call(name, <argument variable>)
inline CAvm1Script& CallInto(CAvm1Script& script, const std::string& variable, const std::string& name,
                             const std::string& argument) {
  script.Push({variable, argument}).Do(CAvm1Script::kGetVariable).Push({name});
  return script.CallExternalInterface("call", 2).Do(CAvm1Script::kSetVariable);
}

// Key.addListener({onKeyDown: function () { ExternalInterface.call("key", Key.getCode()); }});
inline CAvm1Script& ReportKeys(CAvm1Script& script) {
  using S = CAvm1Script;
  S onKeyDown;
  onKeyDown.Push({0, "Key"}).Do(S::kGetVariable).Push({"getCode"}).Do(S::kCallMethod);
  onKeyDown.Push({"key"}).CallExternalInterface("call", 2).Do(S::kPop);
  script.Push({"listener", 0}).Do(S::kInitObject).Do(S::kSetVariable);
  script.Push({"listener"}).Do(S::kGetVariable).Push({"onKeyDown"}).DefineFunction({}, onKeyDown).Do(S::kSetMember);
  script.Push({"listener"}).Do(S::kGetVariable).Push({1, "Key"}).Do(S::kGetVariable).Push({"addListener"});
  return script.Do(S::kCallMethod).Do(S::kPop);
}

// Reports keys; "ready".
inline std::string BuildKeyMovie() {
  CAvm1Script script;
  ReportKeys(script);
  CallOut(script, "ready");
  return BuildSwf(script);
}

// Reports keys; getWinSize, "afterFirst", getWinSize; answer = getWelcome;
// "answer"(answer).
inline std::string BuildWindowModeMovie() {
  CAvm1Script script;
  ReportKeys(script);
  CallOut(script, "getWinSize");
  CallOut(script, "afterFirst");
  CallOut(script, "getWinSize");
  script.Push({"answer", "getWelcome"}).CallExternalInterface("call", 1).Do(CAvm1Script::kSetVariable);
  CallOutWith(script, "answer", "answer");
  return BuildSwf(script);
}

// Arguments as a pupil's movie may make them:
//   UPOK's callback calls "upokSeen";
//   s = "数" doubled 17 times (393,216 bytes of UTF-8): "bigAnswer"(getClient(s));
//   doubled twice more (1.5 MiB): "tooBigAnswer"(getClient(s));
//   "surrogate"("a" + String.fromCharCode(0xD800) + "b");
//   RecUpload(["", "  "]).
inline std::string BuildArgumentsMovie() {
  using S = CAvm1Script;
  S callback;
  CallOutWith(callback, "upokSeen", "a");
  S script;
  script.DefineFunction({"a"}, callback).Push({AvmValue::MakeNull(), "UPOK"}).CallExternalInterface("addCallback", 3);
  script.Do(S::kPop);

  const auto doubleS = [&script] {
    script.Push({"s", "s"}).Do(S::kGetVariable).Push({"s"}).Do(S::kGetVariable).Do(S::kAdd2).Do(S::kSetVariable);
  };
  script.Push({"s", "数"}).Do(S::kSetVariable);
  for (int i = 0; i < 17; ++i) doubleS();
  CallInto(script, "r", "getClient", "s");
  CallOutWith(script, "bigAnswer", "r");
  for (int i = 0; i < 2; ++i) doubleS();
  CallInto(script, "r", "getClient", "s");
  CallOutWith(script, "tooBigAnswer", "r");

  script.Push({"u", "a", 0xD800, 1, "String"}).Do(S::kGetVariable).Push({"fromCharCode"}).Do(S::kCallMethod);
  script.Do(S::kAdd2).Push({"b"}).Do(S::kAdd2).Do(S::kSetVariable);
  CallOutWith(script, "surrogate", "u");

  script.Push({"  ", "", 2}).Do(S::kInitArray).Push({"RecUpload"}).CallExternalInterface("call", 2).Do(S::kPop);
  return BuildSwf(script);
}

}  // namespace testing_support

namespace testing_support {

// A pupil's upload, and the program closed by the movie once it hears UPOK:
//   ExternalInterface.addCallback("UPOK", null, function () { ExternalInterface.call("CloseWinExe"); });
//   ExternalInterface.call("RecUpload", ["u1", "t2", "1"]).
inline std::string BuildUploadThenCloseMovie() {
  using S = CAvm1Script;
  S callback;
  CallOut(callback, "CloseWinExe");
  S script;
  script.DefineFunction({"a"}, callback).Push({AvmValue::MakeNull(), "UPOK"}).CallExternalInterface("addCallback", 3);
  script.Do(S::kPop);
  script.Push({"1", "t2", "u1", 3}).Do(S::kInitArray).Push({"RecUpload"}).CallExternalInterface("call", 2).Do(S::kPop);
  return BuildSwf(script);
}

}  // namespace testing_support

namespace testing_support {

// A shared object the saved-data movie opens, and what it writes into its
// field "v" (nothing when empty).
struct SavedObject {
  std::string name;
  std::string write;
};

// What a course does with the pupil's saved data, in little. Every report
// goes two ways: ExternalInterface.call("saved", label, value), and
// loadVariablesNum("/report/" + label + "-" + value + ".txt", 0), which the
// program's server asks the product site for.
//   for each object: so = SharedObject.getLocal(name); report("read-" + name, so.data.v);
//                    so.data.v = write;
//   flush: for each object: report("flushed-" + name, so.flush());
//   "ready"; then each command of then, in order.
inline std::string BuildSavedDataMovie(const std::vector<SavedObject>& objects, bool flush,
                                       const std::vector<std::string>& then = {}) {
  using S = CAvm1Script;
  S script;
  const auto report = [&script](const std::string& label, const std::string& variable) {
    script.Push({variable}).Do(S::kGetVariable).Push({label, "saved"}).CallExternalInterface("call", 3).Do(S::kPop);
    script.Push({"/report/" + label + "-", variable}).Do(S::kGetVariable).Do(S::kAdd2).Push({".txt"}).Do(S::kAdd2);
    script.LoadVariablesNum();
  };
  const auto data = [&script](int i) {
    script.Push({"so" + std::to_string(i)}).Do(S::kGetVariable).Push({"data"}).Do(S::kGetMember);
  };
  for (int i = 0; i < static_cast<int>(objects.size()); ++i) {
    const std::string so = "so" + std::to_string(i);
    script.Push({so, objects[i].name, 1, "SharedObject"}).Do(S::kGetVariable).Push({"getLocal"});
    script.Do(S::kCallMethod).Do(S::kSetVariable);
    script.Push({"value"});
    data(i);
    script.Push({"v"}).Do(S::kGetMember).Do(S::kSetVariable);
    report("read-" + objects[i].name, "value");
    if (objects[i].write.empty()) continue;
    data(i);
    script.Push({"v", objects[i].write}).Do(S::kSetMember);
  }
  for (int i = 0; flush && i < static_cast<int>(objects.size()); ++i) {
    script.Push({"value", 0, "so" + std::to_string(i)}).Do(S::kGetVariable).Push({"flush"});
    script.Do(S::kCallMethod).Do(S::kSetVariable);
    report("flushed-" + objects[i].name, "value");
  }
  CallOut(script, "ready");
  for (const auto& command : then) CallOut(script, command);
  return BuildSwf(script);
}

// What the saved-data movie reported for label, as the invoke document has
// it ("<string>one</string>", "<undefined/>", "<true/>"): the first such
// report among the calls, or "" when none came.
inline std::string SavedDataReport(const std::vector<std::string>& calls, const std::string& label) {
  const std::string head = "<invoke name=\"saved\" returntype=\"xml\"><arguments><string>" + label + "</string>";
  for (const auto& call : calls)
    if (call.rfind(head, 0) == 0) return call.substr(head.size(), call.find("</arguments>") - head.size());
  return "";
}

}  // namespace testing_support
