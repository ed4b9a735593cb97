// The demo course from a copy on disk, as a school whose product web site
// is gone plays it: the program offscreen with its course from a folder and
// then from one ZIP archive, both made by the build. The demo site serves
// no course here; it only takes the uploads.
//
// Paths come from CTest: those of demo_course.test.mjs, and E2E_COPY_DIR
// and E2E_ARCHIVE.
import { after, before, describe } from "node:test";
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { waitFor } from "./devtools.mjs";
import { STEP_MS, World, required } from "./program.mjs";

const COPY_DIR = required("E2E_COPY_DIR");
const ARCHIVE = required("E2E_ARCHIVE");
// The program's answer to the movie's first call, getWelcome.
const WELCOME_ANSWER = "<string>client</string>";

describe("the demo course from a copy on disk", { concurrency: false }, () => {
  const world = new World();
  const version = /<course>([^<]*)<\/course>/.exec(fs.readFileSync(path.join(COPY_DIR, "tovan.xml"), "utf8"))[1];

  before(() => {
    const emptySite = path.join(world.dir, "no-course");
    fs.mkdirSync(emptySite);
    return world.startSite(emptySite);
  });
  after(() => world.end());

  // One as a plain path, one as a file:// address.
  for (const [kind, base] of [
    ["folder", COPY_DIR],
    ["archive", `file://${ARCHIVE}`],
  ]) {
    world.step(`from the ${kind}: the movie plays, its first call is answered and the cache fills`, async () => {
      world.useAppData(`appdata-${kind}`);
      await world.startProgram(`quillby-${kind}`, base);
      await world.seeTheCoursePlay();
      const calls = await waitFor("the movie's calls to be answered", async () => {
        const answered = await world.movie.answeredCalls();
        return answered.length > 0 && answered;
      });
      assert.equal(calls[0].size, Buffer.byteLength(WELCOME_ANSWER), "the first call, getWelcome, is answered");
      for (const file of ["qzboot.swf", "VerDel.Dat", "tovan.xml"]) assert.ok(world.cached(file), `${file} in the cache`);
      // Cached under the query's name, as from the web site.
      for (const file of ["lesson1.swf", "picture.png", "sound.mp3"]) {
        await waitFor(`course/unit1/${version}${file} in the cache`, () => world.cached(`course/unit1/${version}${file}`), {
          timeoutMs: STEP_MS,
        });
      }
      assert.ok(!world.program.output.includes("course files cannot come from"), world.program.output);
    });

    world.step(`from the ${kind}: a recording is made and uploaded to the site`, async () => {
      await world.recordAndStop();
      await world.uploadAndSeeItArrive(`${kind}.png`);
    });

    world.step(`from the ${kind}: the movie's close button ends the program`, () => world.closeThroughMovie());
  }
});
