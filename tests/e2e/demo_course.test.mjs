// The whole program against the demo product site: the real binary
// offscreen, its web engine and Flash player, its resource server, fetch,
// XML, encoder library and upload, sound through a PulseAudio server of the
// test's own (or ALSA's null device where there is none). The
// movie's buttons are pressed with real mouse events through the web
// engine's DevTools endpoint.
//
// Paths come from CTest: E2E_QUILLBY, E2E_DEMOSITE, E2E_SITE_ROOT,
// E2E_AS3_SITE_ROOT (an ActionScript 3 boot movie), E2E_ENCODER, E2E_MPG123,
// E2E_ARTEFACTS (screenshots are saved there). With E2E_HOME the program
// runs with that home and its own default data directories.
import { after, before, describe } from "node:test";
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { Fatal, sleep, waitFor } from "./devtools.mjs";
import { MOVIE_LOAD_MS, MOVIE_READY, STEP_MS, World, refusesConnections, required } from "./program.mjs";

const SITE_ROOT = required("E2E_SITE_ROOT");
const AS3_SITE_ROOT = required("E2E_AS3_SITE_ROOT");
const STAGE_WIDTH = 970;

describe("the demo course end to end", { concurrency: false }, () => {
  const world = new World();
  const version = /<course>([^<]*)<\/course>/.exec(fs.readFileSync(path.join(SITE_ROOT, "tovan.xml"), "utf8"))[1];

  before(() => world.startSite(SITE_ROOT));
  after(() => world.end());

  world.step("the boot movie loads from the local server and the cache fills", async (t) => {
    await world.startProgram("quillby-online");
    await world.seeTheCoursePlay();
    const [firstCall] = await world.movie.answeredCalls();
    assert.ok(firstCall && firstCall.size > 0, "the program answered the movie's first call");
    t.diagnostic(`first ExternalInterface call answered ${Math.round(firstCall.at - world.program.startedAt)} ms after the program started`);
    for (const file of ["qzboot.swf", "VerDel.Dat", "tovan.xml"]) assert.ok(world.cached(file), `${file} in the cache`);
    for (const file of ["lesson1.swf", "picture.png", "sound.mp3"]) {
      await waitFor(`course/unit1/${version}${file} in the cache`, () => world.cached(`course/unit1/${version}${file}`), {
        timeoutMs: STEP_MS,
      });
    }
    assert.match(fs.readFileSync(path.join(world.cache, "VerDel.Dat"), "utf8"), new RegExp(`<course>${version}</course>`));
  });

  world.step("the full-screen button, pressed twice, toggles the window and the program goes on", async () => {
    const width = () => world.page.evaluate("window.innerWidth");
    const windowed = await width();
    assert.equal(windowed, STAGE_WIDTH);
    await world.movie.press("fullScreen");
    await waitFor("the movie to cover the screen", async () => (await width()) !== windowed, { timeoutMs: STEP_MS });
    await world.movie.press("fullScreen");
    await waitFor("the window to come back", async () => (await width()) === windowed, { timeoutMs: STEP_MS });
    await sleep(1000);
    assert.ok(world.program.running(), "the program still runs");
    assert.ok(await world.page.evaluate(MOVIE_READY), "the movie still runs");
  });

  world.step("record and stop make test.wav and test.mp3", () => world.recordAndStop());

  world.step("play sends the recording to the speaker", (t) =>
    world.pulseServer ? world.playAndHear() : t.skip("no sound server: ALSA's null device hears nothing")
  );

  world.step("upload: the site receives a test.mp3 that decodes, and UPOK reaches the movie", () =>
    world.uploadAndSeeItArrive("screenshot.png")
  );

  world.step("the movie's close button ends the program", () => world.closeThroughMovie());

  world.step("offline, a second start plays the movie from the cache, with the pupil's progress", async () => {
    // The boot movie's shared object, beside the cache: the visit it flushed
    // and the last command, which it left for the program's end to write.
    assert.equal(fs.readdirSync(world.saved).filter((name) => name.endsWith(".saved")).length, 1);
    await world.site.stop();
    assert.ok(await refusesConnections(world.sitePort), "the site is down");
    await world.startProgram("quillby-offline");
    await waitFor("the boot movie to run", () => world.page.evaluate(MOVIE_READY), { timeoutMs: MOVIE_LOAD_MS });
    const progress = Buffer.from(
      await world.page.evaluate(`localStorage.getItem("127.0.0.1/qzboot.swf/progress") || ""`),
      "base64"
    );
    assert.ok(progress.includes("CloseWinExe"), "the last command before the program ended came back");
    const visits = progress.indexOf("\x06visits");
    assert.ok(visits > 0 && progress[visits + 7] === 0, "visits is a number");
    assert.equal(progress.readDoubleBE(visits + 8), 2, "the second start is counted on the first one's");
    await world.seeTheCoursePlay();
    world.saveScreenshot("offline.png", (await world.movie.screenshot()).png);
    await world.closeThroughMovie();
  });

  world.step("an ActionScript 3 boot movie makes the query calls, uploads and hears UPOK", async () => {
    await world.startSite(AS3_SITE_ROOT, "as3site");
    const before = (await world.listUploads()).length;
    world.useAppData("appdata-as3");
    await world.startProgram("quillby-as3");
    const state = await waitFor("UPOK to reach the movie", async () => {
      const text = await world.page.evaluate(`document.getElementById("movie")?.state?.() ?? ""`);
      return text.includes("UPOK(") && text;
    }, { timeoutMs: MOVIE_LOAD_MS });
    const [answers] = state.split(";");
    assert.match(answers, /^client,client,[^,]+,[01],[01]$/, "every query was answered");
    assert.equal(state, `${answers};UPOK()`);
    const uploads = await world.listUploads();
    assert.equal(uploads.length, before + 1);
    const upload = uploads[uploads.length - 1];
    assert.equal(upload.endpoint, "/Upfile.ashx");
    assert.equal(upload.uid, answers);
    assert.equal(upload.tid, "  ", "a blank identifier goes as the movie gave it");
    // The movie closes the program when asked to.
    await world.page.evaluate(`document.getElementById("movie").close()`).catch((error) => {
      if (!(error instanceof Fatal)) throw error;
    });
    const status = await world.program.waitForExit(STEP_MS);
    world.page.close();
    assert.deepEqual(status, { code: 0, signal: null });
  });
});
