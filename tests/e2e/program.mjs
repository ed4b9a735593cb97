// What the end-to-end tests share: the program and the demo site as
// processes, the movie on the program's page, and the steps a pupil takes.
import assert from "node:assert/strict";
import { execFileSync, spawn } from "node:child_process";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { it } from "node:test";
import { DevToolsPage, Fatal, decodePng, sleep, waitFor } from "./devtools.mjs";

export function required(name) {
  const value = process.env[name];
  if (!value) throw new Error(`${name} is not set (run this test through ctest)`);
  return value;
}

// With E2E_PULSE_SERVER (the project's tests/support/pulse-server.sh) the
// program records and plays through a private PulseAudio server of the
// test's own, a tone playing into its microphone; without it, through ALSA's
// null device.
const PULSE_SERVER_SCRIPT = process.env.E2E_PULSE_SERVER;
const TONE = { hz: 440, seconds: 3, rate: 22050, amplitude: 9000 };
// Root mean square of 16-bit samples above which a recording carries the tone.
const HEARD_RMS = 1500;

// A mono 16-bit WAV file of the tone.
function toneWav() {
  const samples = TONE.seconds * TONE.rate;
  const wav = Buffer.alloc(44 + samples * 2);
  wav.write("RIFF", 0);
  wav.writeUInt32LE(36 + samples * 2, 4);
  wav.write("WAVEfmt ", 8);
  wav.writeUInt32LE(16, 16);
  wav.writeUInt16LE(1, 20);
  wav.writeUInt16LE(1, 22);
  wav.writeUInt32LE(TONE.rate, 24);
  wav.writeUInt32LE(TONE.rate * 2, 28);
  wav.writeUInt16LE(2, 32);
  wav.writeUInt16LE(16, 34);
  wav.write("data", 36);
  wav.writeUInt32LE(samples * 2, 40);
  for (let i = 0; i < samples; ++i)
    wav.writeInt16LE(Math.round(TONE.amplitude * Math.sin((2 * Math.PI * TONE.hz * i) / TONE.rate)), 44 + i * 2);
  return wav;
}

// The loudness of the samples of a 16-bit mono WAV file made by a tool:
// its data chunk, wherever it starts.
function rmsOfWav(bytes) {
  const data = bytes.indexOf("data", 12);
  let sum = 0, n = 0;
  for (let at = data + 8; at + 1 < bytes.length; at += 2, ++n) sum += bytes.readInt16LE(at) ** 2;
  return n ? Math.sqrt(sum / n) : 0;
}

// Generous upper bounds for a loaded two-core machine; every wait polls.
export const PROGRAM_START_MS = 60000;
export const MOVIE_LOAD_MS = 120000;
export const STEP_MS = 60000;

// The boot movie's stage and where its parts are (stage pixels).
const STAGE = { width: 970, height: 607 };
const BUTTON = { width: 150, height: 40 };
const BUTTONS = { record: 0, stop: 1, play: 2, upload: 3, fullScreen: 5, close: 8 }; // two rows of five
export const UPLOAD_STATE = { x: 150, y: 350, width: 330, height: 26 };
export const LESSON_HEADER = { x: 730, y: 165, rgb: [0xff, 0xd8, 0x6b] }; // the lesson's yellow title bar
export const PICTURE_APPLE = { x: 550, y: 464, rgb: [0xd0, 0x20, 0x20] }; // first red apple of the picture
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

export class Process {
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

export async function refusesConnections(port) {
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

export const MOVIE_READY = `typeof document.getElementById("movie")?.UPOK === "function"`;

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

export class Movie {
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

  // The movie's ExternalInterface calls to the program that have been
  // answered so far, in order: when the answer arrived (ms since the epoch)
  // and its size. The calls are POSTs, so the page's own record of its
  // requests has no names.
  async answeredCalls() {
    return this.page.evaluate(`performance.getEntriesByType("resource")
      .filter((e) => e.name.endsWith("/__quillby__/call"))
      .map((e) => ({ at: performance.timeOrigin + e.responseEnd, size: e.encodedBodySize }))`);
  }
}

// ---- one test's world: its directories, the site, the program -------------

// The directories one test's processes use, its demo site and its program
// runs; tests are steps that stop at the first failure.
export class World {
  constructor() {
    this.quillby = required("E2E_QUILLBY");
    this.demosite = required("E2E_DEMOSITE");
    this.encoder = required("E2E_ENCODER");
    this.mpg123 = required("E2E_MPG123");
    this.artefacts = required("E2E_ARTEFACTS");
    // With E2E_HOME the program runs with that home and its own default data
    // directories, as an installed program runs for its user.
    this.userHome = process.env.E2E_HOME;
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), "quillby-e2e-"));
    this.store = path.join(this.dir, "uploads");
    this.work = path.join(this.dir, "work");
    this.home = path.join(this.dir, "home");
    for (const d of [this.store, this.work, this.home, path.join(this.dir, "config", "alsa")])
      fs.mkdirSync(d, { recursive: true });
    if (PULSE_SERVER_SCRIPT) {
      // Stopped by end(), or by the script's own watch if this test dies.
      this.pulseDir = path.join(this.dir, "pulse");
      this.pulseServer = execFileSync(PULSE_SERVER_SCRIPT, ["start", this.pulseDir, String(process.pid)], {
        encoding: "utf8",
      }).trim();
      this.tone = path.join(this.dir, "tone.wav");
      fs.writeFileSync(this.tone, toneWav());
    } else {
      fs.writeFileSync(path.join(this.dir, "config", "alsa", "asoundrc"), "pcm.!default { type null }\n");
    }
    fs.mkdirSync(this.artefacts, { recursive: true });
    this.useAppData("appdata");
    this.started = []; // every process this test started, to end them all
    this.broken = false;
  }

  // Program runs after this one keep their cache and saved data in a
  // directory of this name.
  useAppData(name) {
    this.appData = path.join(this.dir, name);
    const dataDir = this.userHome
      ? path.join(this.userHome, ".local", "share", "quillby")
      : path.join(this.appData, "quillby");
    this.cache = path.join(dataDir, "sz");
    this.saved = path.join(dataDir, "saved");
    fs.mkdirSync(this.appData, { recursive: true });
  }

  cached(relative) {
    return fs.existsSync(path.join(this.cache, relative));
  }

  // A test step; skipped once an earlier one failed, and a failure shows
  // the processes' last lines.
  step(name, body, timeout = 3 * STEP_MS) {
    it(name, { timeout }, async (t) => {
      if (this.broken) return t.skip("an earlier step failed");
      try {
        await body(t);
      } catch (error) {
        this.broken = true;
        for (const p of [this.site, this.program]) if (p) t.diagnostic(`${p.name} (log ${p.logPath}):\n${p.tail()}`);
        throw error;
      }
    });
  }

  // The demo site serving root; its port in this.sitePort.
  async startSite(root, name = "demosite") {
    this.site = new Process(
      name,
      this.demosite,
      ["--root", root, "--store", this.store, "--port", "0", "--encoder", this.encoder],
      {},
      this.dir
    );
    this.started.push(this.site);
    this.sitePort = await waitFor(`the ${name}'s address`, () => {
      const match = /http:\/\/127\.0\.0\.1:(\d+)\//.exec(this.site.output);
      if (!match && !this.site.running()) throw new Error(`the ${name} ended`);
      return match && Number(match[1]);
    });
  }

  async listUploads() {
    return (await fetch(`http://127.0.0.1:${this.sitePort}/uploads.json`)).json();
  }

  // The program offscreen, its course from baseUrl (the demo site by
  // default), uploads to the demo site; the page and movie in this.page, this.movie.
  async startProgram(name, baseUrl = `http://127.0.0.1:${this.sitePort}/`) {
    const devtoolsPort = await freeLoopbackPort();
    const env = { ...process.env };
    for (const key of Object.keys(env)) if (/^(QUILLBY_|QTWEBENGINE_|DISPLAY$|WAYLAND_DISPLAY$)/.test(key)) delete env[key];
    Object.assign(env, {
      QT_QPA_PLATFORM: "offscreen",
      QTWEBENGINE_REMOTE_DEBUGGING: `127.0.0.1:${devtoolsPort}`,
      QUILLBY_BASE_URL: baseUrl,
      QUILLBY_UPLOAD_HOST: `127.0.0.1:${this.sitePort}`,
      APPDATA: this.appData,
      WINDIR: this.dir,
      HOME: this.home,
      XDG_CONFIG_HOME: path.join(this.dir, "config"),
      no_proxy: "127.0.0.1,localhost",
      NO_PROXY: "127.0.0.1,localhost",
    });
    if (this.pulseServer) env.PULSE_SERVER = this.pulseServer;
    if (this.userHome) {
      for (const key of ["APPDATA", "WINDIR", "XDG_DATA_HOME", "XDG_STATE_HOME"]) delete env[key];
      env.HOME = this.userHome;
    }
    const startedAt = Date.now();
    const p = new Process(name, this.quillby, [], { cwd: this.work, env }, this.dir);
    p.startedAt = startedAt;
    this.started.push(p);
    this.program = p;
    this.page = await DevToolsPage.connect(devtoolsPort, "/__quillby__/", PROGRAM_START_MS, () => p.running());
    this.movie = new Movie(this.page);
    return p;
  }

  // The boot movie runs, and with it the lesson and the picture it pulls.
  async seeTheCoursePlay() {
    await waitFor("the boot movie to run", () => this.page.evaluate(MOVIE_READY), { timeoutMs: MOVIE_LOAD_MS });
    await waitFor("the lesson movie on the stage", () => this.movie.shows(LESSON_HEADER), { timeoutMs: STEP_MS });
    await waitFor("the picture on the stage", () => this.movie.shows(PICTURE_APPLE), { timeoutMs: STEP_MS });
  }

  // A PulseAudio client of the test's server (paplay, parec).
  soundClient(name, args) {
    const env = { ...process.env, PULSE_SERVER: this.pulseServer, HOME: this.home };
    const p = new Process(name, args[0], args.slice(1), { env }, this.dir);
    this.started.push(p);
    return p;
  }

  async recordAndStop() {
    const wav = path.join(this.work, "test.wav"), mp3 = path.join(this.work, "test.mp3");
    // The pupil speaks: the tone goes into the microphone from before the press.
    if (this.pulseServer) this.soundClient("microphone", ["paplay", "-d", "micsrc", this.tone]);
    await this.movie.press("record");
    await waitFor("test.mp3 to grow while recording", () => fs.existsSync(mp3) && fs.statSync(mp3).size > 4000, {
      timeoutMs: STEP_MS,
    });
    await this.movie.press("stop");
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
  }

  // Presses upload: the site receives the recording as made, it decodes to
  // sound, and UPOK reaches the movie, which shows it. Saves the stage as
  // the artefact screenshotName.
  async uploadAndSeeItArrive(screenshotName) {
    const before = (await this.listUploads()).length;
    await this.page.evaluate(RECORD_MOVIE_CALLS);
    const stateBefore = (await this.movie.screenshot()).region(UPLOAD_STATE);
    await this.movie.press("upload");

    const uploads = await waitFor("the site to list the upload", async () => {
      const list = await this.listUploads();
      return list.length > before && list;
    }, { timeoutMs: STEP_MS });
    assert.equal(uploads.length, before + 1);
    const upload = uploads[uploads.length - 1];
    assert.equal(upload.endpoint, "/Upfile.ashx");
    assert.equal(upload.uid, UID);
    assert.equal(upload.tid, TID);
    assert.equal(upload.file, "test.mp3");

    const received = Buffer.from(await (await fetch(`http://127.0.0.1:${this.sitePort}${upload.url}`)).arrayBuffer());
    // The upload's body ends the file part with its own CR LF before the
    // closing block, so a form parser sees the file followed by CR LF.
    const recorded = fs.readFileSync(path.join(this.work, "test.mp3"));
    assert.ok(
      received.equals(Buffer.concat([recorded, Buffer.from("\r\n")])),
      `the site holds the recording as made (${received.length} bytes received, ${recorded.length} recorded)`
    );
    const receivedMp3 = path.join(this.dir, "received.mp3"), decoded = path.join(this.dir, "received.wav");
    fs.writeFileSync(receivedMp3, received);
    execFileSync(this.mpg123, ["-q", "-w", decoded, receivedMp3]);
    const wav = fs.readFileSync(decoded);
    assert.equal(wav.readUInt16LE(22), 1, "one channel");
    assert.equal(wav.readUInt32LE(24), 22050, "22050 samples per second");
    assert.ok(wav.length > 44 + 22050 * 2 * 0.1, `decodes to sound (${wav.length} bytes of WAV)`);
    if (this.pulseServer) {
      const rms = rmsOfWav(wav);
      assert.ok(rms > HEARD_RMS, `the upload carries what the microphone heard (RMS ${Math.round(rms)})`);
    }

    const call = await waitFor("UPOK to reach the movie", () =>
      this.page.evaluate(`window.__e2eMovieCalls.find((c) => c.request.includes("name='UPOK'")) || null`)
    , { timeoutMs: STEP_MS });
    assert.equal(call.result, UPOK_ANSWER, "the movie's UPOK callback ran");
    // And the movie shows it: the upload state's text changes.
    await waitFor("the upload state to change on the stage", async () => {
      const now = (await this.movie.screenshot()).region(UPLOAD_STATE);
      return now.some((v, i) => v !== stateBefore[i]);
    }, { timeoutMs: STEP_MS });
    await sleep(1000); // one more frame or two for the picture
    this.saveScreenshot(screenshotName, (await this.movie.screenshot()).png);
  }

  // Presses play and records the speaker meanwhile: the recording comes out
  // of it. Only with the test's sound server.
  async playAndHear() {
    const heard = path.join(this.dir, "speaker.wav");
    const seconds = (fs.statSync(path.join(this.work, "test.wav")).size - 46) / 44100;
    const speaker = this.soundClient("speaker", [
      "parec", "-d", "speaker.monitor", "--rate=22050", "--channels=1", "--format=s16le", "--file-format=wav", heard,
    ]);
    await sleep(300); // the capture stream is up before the sound starts
    await this.movie.press("play");
    await sleep(1000 * (seconds + 1.5));
    await speaker.stop();
    const rms = rmsOfWav(fs.readFileSync(heard));
    assert.ok(rms > HEARD_RMS / 2, `the speaker carries the recording (RMS ${Math.round(rms)})`);
  }

  saveScreenshot(name, png) {
    fs.writeFileSync(path.join(this.artefacts, name), png);
  }

  async closeThroughMovie() {
    // The program may end before the engine acknowledges the release.
    await this.movie.press("close").catch((error) => {
      if (!(error instanceof Fatal)) throw error;
    });
    const status = await this.program.waitForExit(STEP_MS);
    this.page.close();
    assert.ok(status, "the movie's close button ends the program");
    assert.deepEqual(status, { code: 0, signal: null });
  }

  async end() {
    this.page?.close();
    for (const p of this.started) await p.stop();
    if (this.pulseDir) execFileSync(PULSE_SERVER_SCRIPT, ["stop", this.pulseDir]);
    if (!this.broken) fs.rmSync(this.dir, { recursive: true, force: true });
    else console.log(`# kept ${this.dir} for inspection`);
  }
}
