// An ActionScript 3 course movie in little: it asks the shell its questions,
// uploads with the answers as the pupil's identifiers (and a blank task),
// and tells the shell when it heard UPOK. state() says what it has seen.
// As a course written elsewhere does, it also loads its files by relative
// name, calls a function the shell does not answer, traces, reports keys and
// opens a link when asked; then it calls "ready".
import flash.events.Event;
import flash.events.IOErrorEvent;
import flash.events.KeyboardEvent;
import flash.display.Loader;
import flash.external.ExternalInterface;
import flash.media.Sound;
import flash.net.URLLoader;
import flash.net.URLRequest;

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
    ExternalInterface.addCallback("openLink", function(url:String) {
      flash.Lib.getURL(new URLRequest(url));
    });
    for (name in ["getWelcome", "getClient", "getOSVersion", "test_wave", "run_recognize"])
      answers.push(Std.string(ExternalInterface.call(name)));
    ExternalInterface.call("RecUpload", [answers.join(","), "  "]);

    var unanswered:Dynamic = ExternalInterface.call("noSuchFunction");
    ExternalInterface.call("unanswered", unanswered, untyped __typeof__(unanswered));
    flash.Lib.trace("as3 trace: 第一课");

    flash.Lib.current.stage.addEventListener(KeyboardEvent.KEY_DOWN, function(event:KeyboardEvent) {
      ExternalInterface.call("key", event.keyCode);
    });
    loadText("files/data.xml", "xmlLoaded");
    loadText("files/text.txt", "textLoaded");
    var child = new Loader();
    child.contentLoaderInfo.addEventListener(Event.COMPLETE, function(_) {
      ExternalInterface.call("childLoaded", child.contentLoaderInfo.bytesTotal);
    });
    child.contentLoaderInfo.addEventListener(IOErrorEvent.IO_ERROR, function(_) ExternalInterface.call("childLoaded", null));
    child.load(new URLRequest("files/child.swf"));
    var sound = new Sound();
    sound.addEventListener(Event.COMPLETE, function(_) {
      ExternalInterface.call("soundLoaded", sound.length > 0);
      sound.play().addEventListener(Event.SOUND_COMPLETE, function(_) ExternalInterface.call("soundComplete"));
    });
    sound.addEventListener(IOErrorEvent.IO_ERROR, function(_) ExternalInterface.call("soundLoaded", false));
    sound.load(new URLRequest("files/sound.mp3"));
    ExternalInterface.call("ready");
  }

  // ExternalInterface.call(report, the text), or with null when it failed.
  static function loadText(url:String, report:String) {
    var loader = new URLLoader();
    loader.addEventListener(Event.COMPLETE, function(_) ExternalInterface.call(report, loader.data));
    loader.addEventListener(IOErrorEvent.IO_ERROR, function(_) ExternalInterface.call(report, null));
    loader.load(new URLRequest(url));
  }
}
