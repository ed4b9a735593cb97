// The whole program against the demo product site: the real binary
// offscreen, its web engine and Flash player, its resource server, fetch,
// XML, encoder library and upload, sound through ALSA's null device. The
// movie's buttons are pressed with real mouse events through the web
// engine's DevTools endpoint.
//
// Paths come from CTest: E2E_QUILLBY, E2E_DEMOSITE, E2E_SITE_ROOT,
// E2E_ENCODER, E2E_MPG123, E2E_ARTEFACTS (screenshots are saved there).
import { after, before, describe } from "node:test";
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { waitFor } from "./devtools.mjs";
import { STEP_MS, World, refusesConnections, required } from "./program.mjs";

const SITE_ROOT = required("E2E_SITE_ROOT");

describe("the demo course end to end", { concurrency: false }, () => {
  const world = new World();
  const version = /<course>([^<]*)<\/course>/.exec(fs.readFileSync(path.join(SITE_ROOT, "tovan.xml"), "utf8"))[1];

  before(() => world.startSite(SITE_ROOT));
  after(() => world.end());

  world.step("the boot movie loads from the local server and the cache fills", async () => {
    await world.startProgram("quillby-online");
    await world.seeTheCoursePlay();
    for (const file of ["qzboot.swf", "VerDel.Dat", "tovan.xml"]) assert.ok(world.cached(file), `${file} in the cache`);
    for (const file of ["lesson1.swf", "picture.png", "sound.mp3"]) {
      await waitFor(`course/unit1/${version}${file} in the cache`, () => world.cached(`course/unit1/${version}${file}`), {
        timeoutMs: STEP_MS,
      });
    }
    assert.match(fs.readFileSync(path.join(world.cache, "VerDel.Dat"), "utf8"), new RegExp(`<course>${version}</course>`));
  });

  world.step("record and stop make test.wav and test.mp3", () => world.recordAndStop());

  world.step("upload: the site receives a test.mp3 that decodes, and UPOK reaches the movie", () =>
    world.uploadAndSeeItArrive("screenshot.png")
  );

  world.step("the movie's close button ends the program", () => world.closeThroughMovie());

  world.step("offline, a second start plays the movie from the cache", async () => {
    await world.site.stop();
    assert.ok(await refusesConnections(world.sitePort), "the site is down");
    await world.startProgram("quillby-offline");
    await world.seeTheCoursePlay();
    world.saveScreenshot("offline.png", (await world.movie.screenshot()).png);
    await world.closeThroughMovie();
  });
});
