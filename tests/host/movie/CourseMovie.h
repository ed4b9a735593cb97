#pragma once
// The test movie: what a course movie does with the host, in little.
#include <algorithm>
#include <utility>
#include <vector>

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

namespace testing_support {

// variable = new className();
inline CAvm1Script& NewObjectInto(CAvm1Script& script, const std::string& variable, const std::string& className) {
  return script.Push({variable, 0, className}).Do(CAvm1Script::kNewObject).Do(CAvm1Script::kSetVariable);
}

// variable.member = function (params) { body };
inline CAvm1Script& SetFunction(CAvm1Script& script, const std::string& variable, const std::string& member,
                                const std::vector<std::string>& params, const CAvm1Script& body) {
  script.Push({variable}).Do(CAvm1Script::kGetVariable).Push({member}).DefineFunction(params, body);
  return script.Do(CAvm1Script::kSetMember);
}

// variable.method(args...), its result dropped.
inline CAvm1Script& CallOn(CAvm1Script& script, const std::string& variable, const std::string& method,
                           std::vector<AvmValue> args) {
  const auto count = static_cast<int32_t>(args.size());
  std::reverse(args.begin(), args.end());
  args.push_back(count);
  script.Push(args).Push({variable}).Do(CAvm1Script::kGetVariable).Push({method});
  return script.Do(CAvm1Script::kCallMethod).Do(CAvm1Script::kPop);
}

// variable = new LoadVars(); variable.onData = function (src) { report(src); };
// variable.load(url);
inline CAvm1Script& LoadText(CAvm1Script& script, const std::string& variable, const std::string& url,
                             const std::string& report) {
  CAvm1Script onData;
  CallOutWith(onData, report, "src");
  NewObjectInto(script, variable, "LoadVars");
  SetFunction(script, variable, "onData", {"src"}, onData);
  return CallOn(script, variable, "load", {url});
}

// A course's files by relative name, each reported when it arrived:
//   x = new XML(); x.onLoad = function (ok) { "xmlLoaded"(x.toString()); }; x.load("files/data.xml");
//   t = new LoadVars(); t.onData = function (src) { "textLoaded"(src); }; t.load("files/text.txt");
//   _root.createEmptyMovieClip("child", 1); child.loadMovie("files/child.swf");
//   snd = new Sound(); snd.onLoad = function (ok) { "soundLoaded"(ok); snd.start(); };
//   snd.onSoundComplete = function () { "soundComplete"(); }; snd.loadSound("files/sound.mp3", false);
inline std::string BuildCourseFilesMovie() {
  using S = CAvm1Script;
  S script;
  S onXml;
  onXml.Push({0, "x"}).Do(S::kGetVariable).Push({"toString"}).Do(S::kCallMethod);
  onXml.Push({"xmlLoaded"}).CallExternalInterface("call", 2).Do(S::kPop);
  NewObjectInto(script, "x", "XML");
  SetFunction(script, "x", "onLoad", {"ok"}, onXml);
  CallOn(script, "x", "load", {"files/data.xml"});

  LoadText(script, "t", "files/text.txt", "textLoaded");

  CallOn(script, "_root", "createEmptyMovieClip", {"child", 1});
  CallOn(script, "child", "loadMovie", {"files/child.swf"});

  S onSound, onComplete;
  CallOutWith(onSound, "soundLoaded", "ok");
  CallOn(onSound, "snd", "start", {});
  CallOut(onComplete, "soundComplete");
  NewObjectInto(script, "snd", "Sound");
  SetFunction(script, "snd", "onLoad", {"ok"}, onSound);
  SetFunction(script, "snd", "onSoundComplete", {}, onComplete);
  CallOn(script, "snd", "loadSound", {"files/sound.mp3", false});
  return BuildSwf(script);
}

// The child movie the course files movie loads: it loads a file of its own
//   c = new LoadVars(); c.onData = function (src) { "childText"(src); }; c.load("files/child.txt");
inline std::string BuildChildMovie() {
  CAvm1Script script;
  LoadText(script, "c", "files/child.txt", "childText");
  return BuildSwf(script);
}

// Calls nobody answers, as a course makes them:
//   r = ExternalInterface.call("noSuchFunction"); trace("unanswered: " + typeof r);
//   "unanswered"(r, typeof r);
//   n = ExternalInterface.call(); "nameless"(n, typeof n); "ready"
inline std::string BuildUnansweredMovie() {
  using S = CAvm1Script;
  S script;
  script.Push({"r", "noSuchFunction"}).CallExternalInterface("call", 1).Do(S::kSetVariable);
  script.Push({"unanswered: ", "r"}).Do(S::kGetVariable).Do(S::kTypeOf).Do(S::kAdd2).Do(S::kTrace);
  script.Push({"n"}).CallExternalInterface("call", 0).Do(S::kSetVariable);
  for (const char* variable : {"r", "n"}) {
    script.Push({variable}).Do(S::kGetVariable).Do(S::kTypeOf).Push({variable}).Do(S::kGetVariable);
    script.Push({variable == std::string("r") ? "unanswered" : "nameless"}).CallExternalInterface("call", 3);
    script.Do(S::kPop);
  }
  CallOut(script, "ready");
  return BuildSwf(script);
}

// trace() of each line, then "ready".
inline std::string BuildTraceMovie(const std::vector<std::string>& lines) {
  CAvm1Script script;
  for (const auto& line : lines) script.Push({line}).Do(CAvm1Script::kTrace);
  CallOut(script, "ready");
  return BuildSwf(script);
}

// getURL(url, target) for each link, then getURL(_url, "_blank") (the
// movie's own address); UPOK's callback calls "alive"; "ready".
inline std::string BuildLinksMovie(const std::vector<std::pair<std::string, std::string>>& links) {
  using S = CAvm1Script;
  S script, alive;
  CallOut(alive, "alive");
  script.DefineFunction({}, alive).Push({AvmValue::MakeNull(), "UPOK"}).CallExternalInterface("addCallback", 3);
  script.Do(S::kPop);
  for (const auto& [url, target] : links) script.GetUrl(url, target);
  script.Push({"_url"}).Do(S::kGetVariable).Push({"_blank"}).GetUrlFromStack();
  CallOut(script, "ready");
  return BuildSwf(script);
}

}  // namespace testing_support
