// The page between the Flash player (Ruffle) and the program. The movie's
// ExternalInterface calls become the Flash player's "invoke" documents and
// go to the program as the body of a synchronous request, so the movie waits
// for the answer as it did with the ActiveX control; the program's calls into
// the movie come back through quillby.callFunction. The player's local
// storage (the movie's shared objects) is the program's: read from it when
// the page starts, and every change handed to it as it happens.
"use strict";

var quillby = (function () {
  const PREFIX = "/__quillby__/";
  const SECRET_HEADER = "X-Quillby-Secret";
  // The largest invoke document the program takes, in UTF-8 bytes.
  const MAX_CALL_BYTES = 1 << 20;

  // The secret travels in the fragment, which is never sent to a server;
  // take it out of the address at once.
  const secret = decodeURIComponent(location.hash.slice(1));
  history.replaceState(null, "", location.pathname + location.search);
  const pageParameters = new URLSearchParams(location.search);
  const movieUrl = pageParameters.get("movie");
  // The program keeps a trace log: every line the movie traces goes to it.
  const tracing = pageParameters.has("trace");

  // The control's stored properties, as the player's options.
  const PLAYER_OPTIONS = {
    autoplay: "on", // play
    // loop: a movie's timeline loops by default in the player
    quality: "high",
    scale: "showAll",
    contextMenu: "on",
    allowNetworking: "all",
    allowFullscreen: false,
    allowScriptAccess: true, // ExternalInterface needs it
    wmode: "window",
    splashScreen: false,
    unmuteOverlay: "hidden",
    letterbox: "on",
    warnOnUnsupportedContent: false,
    upgradeToHttps: false,
    logLevel: "warn",
    // Device text (any font the movie names, Chinese included) is drawn
    // with the CJK font; the player knows it by the name in the font file,
    // which for this font is its Chinese one.
    fontSources: [PREFIX + "cjk-font"],
    defaultFonts: {
      sans: ["WenQuanYi Micro Hei", "文泉驛微米黑"],
      serif: ["WenQuanYi Micro Hei", "文泉驛微米黑"],
      typewriter: ["WenQuanYi Micro Hei Mono", "文泉驛等寬微米黑"],
    },
  };
  window.RufflePlayer = { config: { publicPath: PREFIX, polyfills: false } };

  let player = null;

  // ---- The Flash player's XML serialisation -----------------------------

  // A surrogate without its partner (the movie's strings may hold one)
  // cannot be sent as UTF-8; it goes as U+FFFD.
  const LONE_SURROGATE = /[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/g;
  function wellFormed(text) {
    return String(text).replace(LONE_SURROGATE, "\uFFFD");
  }

  function escapeXml(text) {
    return wellFormed(text)
      .replace(/&/g, "&amp;")
      .replace(/</g, "&lt;")
      .replace(/>/g, "&gt;")
      .replace(/"/g, "&quot;")
      .replace(/'/g, "&apos;");
  }

  function toXml(value) {
    if (value === undefined) return "<undefined/>";
    if (value === null) return "<null/>";
    switch (typeof value) {
      case "string":
        return "<string>" + escapeXml(value) + "</string>";
      case "number":
        return "<number>" + value + "</number>";
      case "boolean":
        return value ? "<true/>" : "<false/>";
      case "object":
        break;
      default:
        return "<null/>";
    }
    if (value instanceof Date) return "<date>" + value.getTime() + "</date>";
    const isArray = Array.isArray(value);
    let xml = isArray ? "<array>" : "<object>";
    for (const key of Object.keys(value)) {
      xml += '<property id="' + escapeXml(key) + '">' + toXml(value[key]) + "</property>";
    }
    return xml + (isArray ? "</array>" : "</object>");
  }

  function invokeXml(name, args) {
    return (
      '<invoke name="' + escapeXml(name) + '" returntype="xml"><arguments>' +
      args.map(toXml).join("") + "</arguments></invoke>"
    );
  }

  function fromElement(element) {
    switch (element.tagName) {
      case "string":
        return element.textContent;
      case "number":
        return Number(element.textContent);
      case "true":
        return true;
      case "false":
        return false;
      case "null":
        return null;
      case "date":
        return new Date(Number(element.textContent));
      case "array":
      case "object": {
        const result = element.tagName === "array" ? [] : {};
        for (const property of element.children) {
          if (property.tagName !== "property" || !property.firstElementChild) continue;
          result[property.getAttribute("id")] = fromElement(property.firstElementChild);
        }
        return result;
      }
      default:
        return undefined;
    }
  }

  function parseXml(text) {
    const doc = new DOMParser().parseFromString(text, "application/xml");
    return doc.getElementsByTagName("parsererror").length ? null : doc.documentElement;
  }

  // ---- To the program ---------------------------------------------------

  // Synchronous on purpose: the movie waits for the program's answer. The
  // finished request, or null when none came.
  function requestProgram(method, target, body) {
    try {
      const request = new XMLHttpRequest();
      request.open(method, PREFIX + target, false);
      request.setRequestHeader(SECRET_HEADER, secret);
      request.send(body);
      return request;
    } catch (error) {
      console.warn("request to the program failed", error);
      return null;
    }
  }

  function sendToProgram(method, target, body) {
    const request = requestProgram(method, target, body);
    return request && request.status === 200 ? request.responseText : null;
  }

  function utf8Size(text) {
    return new TextEncoder().encode(text).length;
  }

  function callProgram(name, args) {
    const invoke = invokeXml(name, args);
    const size = utf8Size(invoke);
    if (size > MAX_CALL_BYTES) {
      console.warn(`call "${wellFormed(name)}" not sent: ${size} bytes, more than the ${MAX_CALL_BYTES} the program takes`);
      return undefined;
    }
    // What the movie traced before the call is in the log before the call
    // is handled (which may take long).
    if (traceLines.length) sendTraces();
    const request = requestProgram("POST", "call", invoke);
    // Taken, but the program set no value: the Flash control gave null.
    if (request && request.status === 204) return null;
    if (!request || request.status !== 200) return undefined;
    const root = parseXml(request.responseText);
    return root ? fromElement(root) : undefined;
  }

  function fsCommand(command, args) {
    sendToProgram(
      "GET",
      "fscommand?command=" +
        encodeURIComponent(wellFormed(command)) +
        "&args=" +
        encodeURIComponent(wellFormed(args === undefined ? "" : args))
    );
  }

  // The player runs a movie's ExternalInterface.call(name, ...) as
  // new Function("return (" + name + ")(...arguments);"), that is as page
  // script looked up by name. Like the ActiveX control, which raised FlashCall
  // for every call, we hand every such call to the program, whatever its name
  // (and never to a page function that happens to share it).
  const HOST_CALL = /^return \(([\s\S]*)\)\(\.\.\.arguments\);$/;
  const NO_NAME = new Set(["", "undefined", "null"]);
  const NativeFunction = window.Function;
  window.Function = new Proxy(NativeFunction, {
    construct(target, args, newTarget) {
      const match = args.length === 1 && typeof args[0] === "string" ? HOST_CALL.exec(args[0]) : null;
      if (match) {
        const name = match[1];
        // ExternalInterface.call() without a name (the player passes it on
        // as "undefined" or "null"): nothing to call, null as from Flash.
        if (NO_NAME.has(name)) return () => null;
        return function () {
          return callProgram(name, Array.from(arguments));
        };
      }
      return Reflect.construct(target, args, newTarget === window.Function ? target : newTarget);
    },
  });

  // ---- The movie's saved data ------------------------------------------

  // The player keeps a movie's shared objects in window.localStorage, one
  // entry per object, and reads and writes it as an indexed object
  // (storage[key], storage[key] = value, delete storage[key]). The page's
  // own storage is tied to its origin, port included, and the web profile
  // keeps it in memory only; so the player gets a storage whose entries are
  // the program's. A change counts only once the program has stored it: an
  // assignment the program refused throws, and the movie's flush() then
  // answers false.
  const saved = new Map();
  let savedTaken = false;
  function takeSaved(list) {
    if (savedTaken) return;
    savedTaken = true;
    if (list !== null) for (const [key, value] of new URLSearchParams(list)) saved.set(key, value);
  }
  // Asked for as the page starts, without holding up the player's files;
  // storage used before a good answer came asks again and waits for it.
  fetch(PREFIX + "saved", { headers: { [SECRET_HEADER]: secret }, cache: "no-store" })
    .then((response) => (response.status === 200 ? response.text() : null))
    .then((list) => list !== null && takeSaved(list), () => {});
  function loadSaved() {
    if (!savedTaken) takeSaved(sendToProgram("GET", "saved"));
  }

  function handOver(key, value) {
    loadSaved();
    const removing = value === undefined;
    const body = removing ? "" : wellFormed(value);
    if (utf8Size(body) > MAX_CALL_BYTES) {
      console.warn(`saved entry "${wellFormed(key)}" not kept: over the ${MAX_CALL_BYTES} bytes the program takes`);
      return false;
    }
    const target = "saved?key=" + encodeURIComponent(wellFormed(key)) + (removing ? "&remove=1" : "");
    const request = requestProgram("POST", target, body);
    if (!request || request.status !== 204) return false;
    if (removing) saved.delete(key);
    else saved.set(key, body);
    return true;
  }

  const storageMethods = {
    getItem: (key) => (saved.has(String(key)) ? saved.get(String(key)) : null),
    setItem(key, value) {
      if (!handOver(String(key), String(value))) {
        throw new DOMException("the program did not store it", "QuotaExceededError");
      }
    },
    removeItem: (key) => void handOver(String(key)),
    clear: () => Array.from(saved.keys()).forEach((key) => handOver(key)),
    key: (index) => Array.from(saved.keys())[index] ?? null,
  };
  // Every way in goes through a trap, and each trap has the entries first.
  const programStorage = new Proxy(Object.create(Storage.prototype), {
    get(target, property) {
      loadSaved();
      if (property === "length") return saved.size;
      if (Object.hasOwn(storageMethods, property)) return storageMethods[property];
      if (typeof property === "string" && saved.has(property)) return saved.get(property);
      return Reflect.get(target, property);
    },
    set: (target, property, value) => typeof property === "string" && handOver(property, String(value)),
    deleteProperty: (target, property) => typeof property === "string" && handOver(property),
    has(target, property) {
      loadSaved();
      return typeof property === "string" && saved.has(property);
    },
    ownKeys() {
      loadSaved();
      return Array.from(saved.keys());
    },
    getOwnPropertyDescriptor(target, property) {
      loadSaved();
      if (typeof property !== "string" || !saved.has(property)) return undefined;
      return { value: saved.get(property), writable: true, enumerable: true, configurable: true };
    },
  });
  Object.defineProperty(window, "localStorage", { configurable: true, enumerable: true, get: () => programStorage });

  // ---- The movie's trace output ----------------------------------------

  // A line longer than this is cut: its UTF-8 then fits one request.
  const MAX_TRACE_CHARS = Math.floor(MAX_CALL_BYTES / 3) - 1;
  let traceLines = [];

  // The lines of one task of the player go to the program together, in
  // order, once the task is over.
  function trace(message) {
    if (!traceLines.length) queueMicrotask(sendTraces);
    traceLines.push(wellFormed(String(message).slice(0, MAX_TRACE_CHARS)) + "\n");
  }

  function sendTraces() {
    if (!traceLines.length) return;
    const lines = traceLines;
    traceLines = [];
    let body = "";
    let size = 0;
    for (const line of lines) {
      const lineSize = utf8Size(line);
      if (size + lineSize > MAX_CALL_BYTES) {
        requestProgram("POST", "trace", body);
        body = "";
        size = 0;
      }
      body += line;
      size += lineSize;
    }
    requestProgram("POST", "trace", body);
  }

  // ---- From the program -------------------------------------------------

  // The movie is the page's one control, so keys go to it without a click.
  // The player reads keys only once a pointer went down on it: that is told
  // to the player element alone (the movie itself sees no click), once the
  // player stands ready.
  function takeFocus() {
    player.dispatchEvent(new PointerEvent("pointerdown", { isPrimary: true }));
  }

  function start() {
    if (!window.RufflePlayer || typeof window.RufflePlayer.newest !== "function") {
      document.body.textContent = "Flash player files missing";
      return;
    }
    player = window.RufflePlayer.newest().createPlayer();
    player.id = "movie";
    player.addEventListener("loadedmetadata", () => console.info("movie loaded"));
    player.ruffle().addFSCommandHandler(fsCommand);
    document.body.appendChild(player);
    if (!movieUrl) return;
    // Relative names resolve against the movie's own address, as under the
    // Flash control, in the boot movie and in every movie it loads; never
    // against this page's. The player takes a folder as its base.
    const base = new URL(".", movieUrl).href;
    player.ruffle().load(Object.assign({ url: movieUrl, base }, PLAYER_OPTIONS)).then(() => {
      // Before the movie's first frame: the player has only started to fetch it.
      if (tracing) player.ruffle().traceObserver = trace;
      takeFocus();
    });
  }

  function play() {
    if (player) player.ruffle().resume();
  }

  // CallFunction: an invoke document in, the callback's result as a value
  // document out; "" when the movie has no such callback.
  function callFunction(request) {
    const root = parseXml(request);
    if (!root || root.tagName !== "invoke" || !player) return "";
    const name = root.getAttribute("name");
    const callback = player[name];
    if (typeof callback !== "function") return "";
    const args = [];
    const list = root.getElementsByTagName("arguments")[0];
    if (list) for (const element of list.children) args.push(fromElement(element));
    return toXml(callback.apply(player, args));
  }

  // The program is about to end: the player writes every shared object now
  // (it does so when the page is hidden for good), while the program still
  // takes the changes. The browser's own leaving of the page comes too late
  // for that: it allows no synchronous request any more.
  function close() {
    if (player) window.dispatchEvent(new PageTransitionEvent("pagehide", { persisted: false }));
    return true;
  }

  // The player's script (after this one) is in place once the page is read.
  document.addEventListener("DOMContentLoaded", start);

  return { play, callFunction, close };
})();
