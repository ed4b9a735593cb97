// An ActionScript 3 course movie in little: it asks the shell its questions,
// uploads with the answers as the pupil's identifiers (and a blank task),
// and tells the shell when it heard UPOK. state() says what it has seen.
import flash.external.ExternalInterface;

class Movie {
  static var answers:Array<String> = [];
  static var heard:String = "";

  static function main() {
    ExternalInterface.addCallback("UPOK", function(argument:String) {
      heard = "UPOK(" + argument + ")";
      ExternalInterface.call("upokHeard", argument);
      return "as3:" + argument;
    });
    ExternalInterface.addCallback("state", function() {
      return answers.join(",") + ";" + heard;
    });
    ExternalInterface.addCallback("close", function() {
      ExternalInterface.call("CloseWinExe");
    });
    for (name in ["getWelcome", "getClient", "getOSVersion", "test_wave", "run_recognize"])
      answers.push(Std.string(ExternalInterface.call(name)));
    ExternalInterface.call("RecUpload", [answers.join(","), "  "]);
  }
}
