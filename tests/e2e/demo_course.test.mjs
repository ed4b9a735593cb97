// The whole program against the demo product site: the real binary
// offscreen, its web engine and Flash player, its resource server, fetch,
// XML, encoder library and upload, sound through ALSA's null device. The
// movie's buttons are pressed with real mouse events through the web
// engine's DevTools endpoint.
//
// Paths come from CTest: E2E_QUILLBY, E2E_DEMOSITE, E2E_SITE_ROOT,
// E2E_AS3_SITE_ROOT (an ActionScript 3 boot movie), E2E_ENCODER, E2E_MPG123,
// E2E_ARTEFACTS (screenshots are saved there).
// With E2E_HOME the program runs with that home and its own default data
// directories, as an installed program runs for its user.
import { after, before, describe, it } from "node:test";
import assert from "node:assert/strict";
import { spawn, execFileSync } from "node:child_process";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { DevToolsPage, Fatal, decodePng, sleep, waitFor } from "./devtools.mjs";

function required(name) {
  const value = process.env[name];
  if (!value) throw new Error(`${name} is not set (run this test through ctest)`);
  return value;
}
const QUILLBY = required("E2E_QUILLBY");
const DEMOSITE = required("E2E_DEMOSITE");
const SITE_ROOT = required("E2E_SITE_ROOT");
const AS3_SITE_ROOT = required("E2E_AS3_SITE_ROOT");
const ENCODER = required("E2E_ENCODER");
const MPG123 = required("E2E_MPG123");
const ARTEFACTS = required("E2E_ARTEFACTS");
const USER_HOME = process.env.E2E_HOME;

// Generous upper bounds for a loaded two-core machine; every wait polls.
const PROGRAM_START_MS = 60000;
const MOVIE_LOAD_MS = 120000;
const STEP_MS = 60000;

// The boot movie's stage and where its parts are (stage pixels).
const STAGE = { width: 970, height: 607 };
const BUTTON = { width: 150, height: 40 };
const BUTTONS = { record: 0, stop: 1, upload: 3, fullScreen: 5, close: 8 }; // two rows of five
const UPLOAD_STATE = { x: 150, y: 350, width: 330, height: 26 };
const LESSON_HEADER = { x: 730, y: 165, rgb: [0xff, 0xd8, 0x6b] }; // the lesson's yellow title bar
const PICTURE_APPLE = { x: 550, y: 464, rgb: [0xd0, 0x20, 0x20] }; // first red apple of the picture
// What the movie sends with an upload (its input fields' initial values)
// and what its UPOK callback answers.
const UID = "10001";
const TID = "2001";
const UPOK_ANSWER = "<string>上传完成</string>";

function buttonCentre(index) {
  return {
    x: 20 + (index % 5) * 160 + BUTTON.width / 2,
    y: 60 + Math.floor(index / 5) * 50 + BUTTON.height / 2,
  };
}

// ---- processes ------------------------------------------------------------

class Process {
  constructor(name, command, args, options, logDir) {
    this.name = name;
    this.logPath = path.join(logDir, `${name}.log`);
    this.output = "";
    const log = fs.openSync(this.logPath, "w");
    // Its own process group, so the web engine's helpers end with it.
    this.child = spawn(command, args, { ...options, detached: true, stdio: ["ignore", "pipe", "pipe"] });
    for (const stream of [this.child.stdout, this.child.stderr]) {
      stream.on("data", (chunk) => {
        this.output += chunk.toString();
        fs.writeSync(log, chunk);
      });
    }
    this.exited = new Promise((resolve) => {
      this.child.on("exit", (code, signal) => {
        this.exitStatus = { code, signal };
        resolve(this.exitStatus);
      });
    });
  }

  running() {
    return this.exitStatus === undefined;
  }

  // The exit status, or null when the process still runs after timeoutMs.
  async waitForExit(timeoutMs) {
    let timer;
    const timedOut = new Promise((resolve) => (timer = setTimeout(() => resolve(null), timeoutMs)));
    try {
      return await Promise.race([this.exited, timedOut]);
    } finally {
      clearTimeout(timer);
    }
  }

  // Ends the process group: politely first, then for sure.
  async stop() {
    if (this.running()) {
      try {
        process.kill(-this.child.pid, "SIGTERM");
      } catch {}
      if (!(await this.waitForExit(10000))) {
        try {
          process.kill(-this.child.pid, "SIGKILL");
        } catch {}
        await this.exited;
      }
    }
    // Helpers left in the group after the program ended.
    try {
      process.kill(-this.child.pid, "SIGKILL");
    } catch {}
  }

  tail(lines = 40) {
    return this.output.split("\n").slice(-lines).join("\n");
  }
}

async function freeLoopbackPort() {
  const server = net.createServer();
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  const { port } = server.address();
  await new Promise((resolve) => server.close(resolve));
  return port;
}

async function refusesConnections(port) {
  return new Promise((resolve) => {
    const socket = net.connect(port, "127.0.0.1");
    socket.on("connect", () => {
      socket.destroy();
      resolve(false);
    });
    socket.on("error", () => resolve(true));
  });
}

// ---- the movie on the page ------------------------------------------------

const MOVIE_READY = `typeof document.getElementById("movie")?.UPOK === "function"`;

// Every call the program makes into the movie, with the movie's answer.
const RECORD_MOVIE_CALLS = `(() => {
  if (!window.__e2eMovieCalls) {
    window.__e2eMovieCalls = [];
    const original = quillby.callFunction;
    quillby.callFunction = (request) => {
      const result = original(request);
      window.__e2eMovieCalls.push({ request, result });
      return result;
    };
  }
  return true;
})()`;

class Movie {
  constructor(page) {
    this.page = page;
  }

  // Stage pixels to page pixels: the player shows the whole stage, centred.
  async geometry() {
    const g = await this.page.evaluate(`(() => {
      const r = document.getElementById("movie").getBoundingClientRect();
      return { left: r.left, top: r.top, width: r.width, height: r.height, dpr: window.devicePixelRatio };
    })()`);
    const scale = Math.min(g.width / STAGE.width, g.height / STAGE.height);
    return {
      ...g,
      scale,
      toPage: (sx, sy) => ({
        x: g.left + (g.width - STAGE.width * scale) / 2 + sx * scale,
        y: g.top + (g.height - STAGE.height * scale) / 2 + sy * scale,
      }),
    };
  }

  async press(button) {
    const g = await this.geometry();
    const { x, y } = buttonCentre(BUTTONS[button]);
    const at = g.toPage(x, y);
    await this.page.click(at.x, at.y);
  }

  async screenshot() {
    const png = await this.page.screenshot();
    const image = decodePng(png);
    const g = await this.geometry();
    const toImage = (sx, sy) => {
      const p = g.toPage(sx, sy);
      return { x: p.x * g.dpr, y: p.y * g.dpr };
    };
    return {
      png,
      colourAt(sx, sy) {
        const p = toImage(sx, sy);
        return image.pixel(p.x, p.y);
      },
      region({ x, y, width, height }) {
        const a = toImage(x, y), b = toImage(x + width, y + height);
        return image.region(Math.round(a.x), Math.round(a.y), Math.round(b.x - a.x), Math.round(b.y - a.y));
      },
    };
  }

  async shows({ x, y, rgb }) {
    const colour = (await this.screenshot()).colourAt(x, y);
    return colour.every((c, i) => Math.abs(c - rgb[i]) <= 40);
  }
}

// ---- the test ---------------------------------------------------------------

describe("the demo course end to end", { concurrency: false }, () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "quillby-e2e-"));
  const store = path.join(dir, "uploads");
  const appData = path.join(dir, "appdata");
  const work = path.join(dir, "work");
  const home = path.join(dir, "home");
  const dataDir = USER_HOME ? path.join(USER_HOME, ".local", "share", "quillby") : path.join(appData, "quillby");
  const cache = path.join(dataDir, "sz");
  const saved = path.join(dataDir, "saved");
  for (const d of [store, appData, work, home, path.join(dir, "config", "alsa")]) fs.mkdirSync(d, { recursive: true });
  // Record and play through ALSA's null device, sound card or not.
  fs.writeFileSync(path.join(dir, "config", "alsa", "asoundrc"), "pcm.!default { type null }\n");
  fs.mkdirSync(ARTEFACTS, { recursive: true });
  const version = /<course>([^<]*)<\/course>/.exec(fs.readFileSync(path.join(SITE_ROOT, "tovan.xml"), "utf8"))[1];

  let site, sitePort, program, page, movie;
  const started = []; // every process this test started, to end them all
  let broken = false;
  const step = (name, body, timeout = 3 * STEP_MS) =>
    it(name, { timeout }, async (t) => {
      if (broken) return t.skip("an earlier step failed");
      try {
        await body(t);
      } catch (error) {
        broken = true;
        for (const p of [site, program]) if (p) t.diagnostic(`${p.name} (log ${p.logPath}):\n${p.tail()}`);
        throw error;
      }
    });

  async function startSite(name = "demosite", root = SITE_ROOT) {
    const p = new Process(name, DEMOSITE, ["--root", root, "--store", store, "--port", "0", "--encoder", ENCODER], {}, dir);
    started.push(p);
    site = p;
    sitePort = await waitFor(`the ${name}'s address`, () => {
      const match = /http:\/\/127\.0\.0\.1:(\d+)\//.exec(p.output);
      if (!match && !p.running()) throw new Error(`the ${name} ended`);
      return match && Number(match[1]);
    });
  }

  const listUploads = async () => (await fetch(`http://127.0.0.1:${sitePort}/uploads.json`)).json();

  async function startProgram(name, programAppData = appData) {
    const devtoolsPort = await freeLoopbackPort();
    const env = { ...process.env };
    for (const key of Object.keys(env)) if (/^(QUILLBY_|QTWEBENGINE_|DISPLAY$|WAYLAND_DISPLAY$)/.test(key)) delete env[key];
    Object.assign(env, {
      QT_QPA_PLATFORM: "offscreen",
      QTWEBENGINE_REMOTE_DEBUGGING: `127.0.0.1:${devtoolsPort}`,
      QUILLBY_BASE_URL: `http://127.0.0.1:${sitePort}/`,
      QUILLBY_UPLOAD_HOST: `127.0.0.1:${sitePort}`,
      APPDATA: programAppData,
      WINDIR: dir,
      HOME: home,
      XDG_CONFIG_HOME: path.join(dir, "config"),
      no_proxy: "127.0.0.1,localhost",
      NO_PROXY: "127.0.0.1,localhost",
    });
    if (USER_HOME) {
      for (const key of ["APPDATA", "WINDIR", "XDG_DATA_HOME", "XDG_STATE_HOME"]) delete env[key];
      env.HOME = USER_HOME;
    }
    const startedAt = Date.now();
    const p = new Process(name, QUILLBY, [], { cwd: work, env }, dir);
    started.push(p);
    program = p;
    p.startedAt = startedAt;
    page = await DevToolsPage.connect(devtoolsPort, "/__quillby__/", PROGRAM_START_MS, () => p.running());
    movie = new Movie(page);
    return p;
  }

  async function closeThroughMovie() {
    // The program may end before the engine acknowledges the release.
    await movie.press("close").catch((error) => {
      if (!(error instanceof Fatal)) throw error;
    });
    const status = await program.waitForExit(STEP_MS);
    page.close();
    assert.ok(status, "the movie's close button ends the program");
    assert.deepEqual(status, { code: 0, signal: null });
  }

  const cached = (relative) => fs.existsSync(path.join(cache, relative));

  before(() => startSite());

  after(async () => {
    page?.close();
    for (const p of started) await p.stop();
    if (!broken) fs.rmSync(dir, { recursive: true, force: true });
    else console.log(`# kept ${dir} for inspection`);
  });

  step("the boot movie loads from the local server and the cache fills", async (t) => {
    await startProgram("quillby-online");
    await waitFor("the boot movie to run", () => page.evaluate(MOVIE_READY), { timeoutMs: MOVIE_LOAD_MS });
    // The page's own record of its first request to the program.
    const firstCall = await waitFor("the movie's first call to reach the program", () =>
      page.evaluate(`(() => {
        const e = performance.getEntriesByType("resource").find((r) => r.name.endsWith("/__quillby__/call"));
        return e ? { at: performance.timeOrigin + e.responseEnd, size: e.encodedBodySize } : null;
      })()`)
    , { timeoutMs: STEP_MS });
    assert.ok(firstCall.size > 0, "the program answered the movie's first call");
    t.diagnostic(`first ExternalInterface call answered ${Math.round(firstCall.at - program.startedAt)} ms after the program started`);
    for (const file of ["qzboot.swf", "VerDel.Dat", "tovan.xml"]) assert.ok(cached(file), `${file} in the cache`);
    for (const file of ["lesson1.swf", "picture.png", "sound.mp3"]) {
      await waitFor(`course/unit1/${version}${file} in the cache`, () => cached(`course/unit1/${version}${file}`), {
        timeoutMs: STEP_MS,
      });
    }
    assert.match(fs.readFileSync(path.join(cache, "VerDel.Dat"), "utf8"), new RegExp(`<course>${version}</course>`));
    await waitFor("the lesson movie on the stage", () => movie.shows(LESSON_HEADER), { timeoutMs: STEP_MS });
    await waitFor("the picture on the stage", () => movie.shows(PICTURE_APPLE), { timeoutMs: STEP_MS });
  });

  step("the full-screen button, pressed twice, toggles the window and the program goes on", async () => {
    const width = () => page.evaluate("window.innerWidth");
    const windowed = await width();
    assert.equal(windowed, STAGE.width);
    await movie.press("fullScreen");
    await waitFor("the movie to cover the screen", async () => (await width()) !== windowed, { timeoutMs: STEP_MS });
    await movie.press("fullScreen");
    await waitFor("the window to come back", async () => (await width()) === windowed, { timeoutMs: STEP_MS });
    await sleep(1000);
    assert.ok(program.running(), "the program still runs");
    assert.ok(await page.evaluate(MOVIE_READY), "the movie still runs");
  });

  step("record and stop make test.wav and test.mp3", async () => {
    const wav = path.join(work, "test.wav"), mp3 = path.join(work, "test.mp3");
    await movie.press("record");
    await waitFor("test.mp3 to grow while recording", () => fs.existsSync(mp3) && fs.statSync(mp3).size > 4000, {
      timeoutMs: STEP_MS,
    });
    await movie.press("stop");
    // Closed: the WAV header's RIFF size covers the whole file.
    await waitFor("test.wav to be closed", () => {
      const bytes = fs.readFileSync(wav);
      return bytes.length > 44 && bytes.readUInt32LE(4) === bytes.length - 8;
    }, { timeoutMs: STEP_MS });
    let size = -1;
    await waitFor("test.mp3 to stop changing", () => {
      const now = fs.statSync(mp3).size;
      const stable = now === size;
      size = now;
      return stable;
    }, { timeoutMs: STEP_MS, intervalMs: 1000 });
  });

  step("upload: the site receives a test.mp3 that decodes, and UPOK reaches the movie", async () => {
    await page.evaluate(RECORD_MOVIE_CALLS);
    const before = (await movie.screenshot()).region(UPLOAD_STATE);
    await movie.press("upload");

    const uploads = await waitFor("the site to list the upload", async () => {
      const list = await listUploads();
      return list.length > 0 && list;
    }, { timeoutMs: STEP_MS });
    assert.equal(uploads.length, 1);
    const [upload] = uploads;
    assert.equal(upload.endpoint, "/Upfile.ashx");
    assert.equal(upload.uid, UID);
    assert.equal(upload.tid, TID);
    assert.equal(upload.file, "test.mp3");

    const received = Buffer.from(await (await fetch(`http://127.0.0.1:${sitePort}${upload.url}`)).arrayBuffer());
    // The upload's body ends the file part with its own CR LF before the
    // closing block, so a form parser sees the file followed by CR LF.
    const recorded = fs.readFileSync(path.join(work, "test.mp3"));
    assert.ok(
      received.equals(Buffer.concat([recorded, Buffer.from("\r\n")])),
      `the site holds the recording as made (${received.length} bytes received, ${recorded.length} recorded)`
    );
    const receivedMp3 = path.join(dir, "received.mp3"), decoded = path.join(dir, "received.wav");
    fs.writeFileSync(receivedMp3, received);
    execFileSync(MPG123, ["-q", "-w", decoded, receivedMp3]);
    const wav = fs.readFileSync(decoded);
    assert.equal(wav.readUInt16LE(22), 1, "one channel");
    assert.equal(wav.readUInt32LE(24), 22050, "22050 samples per second");
    assert.ok(wav.length > 44 + 22050 * 2 * 0.1, `decodes to sound (${wav.length} bytes of WAV)`);

    const call = await waitFor("UPOK to reach the movie", () =>
      page.evaluate(`window.__e2eMovieCalls.find((c) => c.request.includes("name='UPOK'")) || null`)
    , { timeoutMs: STEP_MS });
    assert.equal(call.result, UPOK_ANSWER, "the movie's UPOK callback ran");
    // And the movie shows it: the upload state's text changes.
    await waitFor("the upload state to change on the stage", async () => {
      const now = (await movie.screenshot()).region(UPLOAD_STATE);
      return now.some((v, i) => v !== before[i]);
    }, { timeoutMs: STEP_MS });
    await sleep(1000); // one more frame or two for the picture
    fs.writeFileSync(path.join(ARTEFACTS, "screenshot.png"), (await movie.screenshot()).png);
  });

  step("the movie's close button ends the program", closeThroughMovie);

  step("offline, a second start plays the movie from the cache, with the pupil's progress", async () => {
    // The boot movie's shared object, beside the cache: the visit it flushed
    // and the last command, which it left for the program's end to write.
    assert.deepEqual(fs.readdirSync(saved).filter((name) => name.endsWith(".saved")).length, 1);
    await site.stop();
    assert.ok(await refusesConnections(sitePort), "the site is down");
    await startProgram("quillby-offline");
    await waitFor("the boot movie to run", () => page.evaluate(MOVIE_READY), { timeoutMs: MOVIE_LOAD_MS });
    const progress = Buffer.from(
      await page.evaluate(`localStorage.getItem("127.0.0.1/qzboot.swf/progress") || ""`),
      "base64"
    );
    assert.ok(progress.includes("CloseWinExe"), "the last command before the program ended came back");
    const visits = progress.indexOf("\x06visits");
    assert.ok(visits > 0 && progress[visits + 7] === 0, "visits is a number");
    assert.equal(progress.readDoubleBE(visits + 8), 2, "the second start is counted on the first one's");
    await waitFor("the lesson movie on the stage", () => movie.shows(LESSON_HEADER), { timeoutMs: STEP_MS });
    await waitFor("the picture on the stage", () => movie.shows(PICTURE_APPLE), { timeoutMs: STEP_MS });
    fs.writeFileSync(path.join(ARTEFACTS, "offline.png"), (await movie.screenshot()).png);
    await closeThroughMovie();
  });

  step("an ActionScript 3 boot movie makes the query calls, uploads and hears UPOK", async () => {
    await startSite("as3site", AS3_SITE_ROOT);
    const before = (await listUploads()).length;
    await startProgram("quillby-as3", path.join(dir, "appdata-as3"));
    const state = await waitFor("UPOK to reach the movie", async () => {
      const text = await page.evaluate(`document.getElementById("movie")?.state?.() ?? ""`);
      return text.includes("UPOK(") && text;
    }, { timeoutMs: MOVIE_LOAD_MS });
    const [answers] = state.split(";");
    assert.match(answers, /^client,client,[^,]+,[01],[01]$/, "every query was answered");
    assert.equal(state, `${answers};UPOK()`);
    const uploads = await listUploads();
    assert.equal(uploads.length, before + 1);
    const upload = uploads[uploads.length - 1];
    assert.equal(upload.endpoint, "/Upfile.ashx");
    assert.equal(upload.uid, answers);
    assert.equal(upload.tid, "  ", "a blank identifier goes as the movie gave it");
    // The movie closes the program when asked to.
    await page.evaluate(`document.getElementById("movie").close()`).catch((error) => {
      if (!(error instanceof Fatal)) throw error;
    });
    const status = await program.waitForExit(STEP_MS);
    page.close();
    assert.deepEqual(status, { code: 0, signal: null });
  });
});
