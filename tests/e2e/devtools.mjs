// A small client for the web engine's DevTools endpoint: finds the movie's
// page, evaluates script in it, sends real mouse events and takes pictures.
import WebSocket from "ws";
import { inflateSync } from "node:zlib";

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// A failure no amount of waiting mends (the program has gone away).
export class Fatal extends Error {}

// Polls until check() gives a truthy value, which is returned. Errors thrown
// by check count as "not yet" (the program may not be listening yet), except
// Fatal ones.
export async function waitFor(what, check, { timeoutMs = 60000, intervalMs = 250 } = {}) {
  const deadline = Date.now() + timeoutMs;
  let lastError;
  for (;;) {
    try {
      const value = await check();
      if (value) return value;
    } catch (error) {
      if (error instanceof Fatal) throw error;
      lastError = error;
    }
    if (Date.now() > deadline) {
      throw new Error(`timed out after ${timeoutMs} ms waiting for ${what}` + (lastError ? ` (${lastError.message})` : ""));
    }
    await sleep(intervalMs);
  }
}

export class DevToolsPage {
  // alive() tells whether the program still runs.
  static async connect(devtoolsPort, urlPart, timeoutMs, alive) {
    const target = await waitFor(
      `a page at *${urlPart}* on the DevTools port ${devtoolsPort}`,
      async () => {
        if (!alive()) throw new Fatal("the program ended before its page appeared");
        const response = await fetch(`http://127.0.0.1:${devtoolsPort}/json/list`);
        const targets = await response.json();
        return targets.find((t) => t.type === "page" && t.url.includes(urlPart) && t.webSocketDebuggerUrl);
      },
      { timeoutMs, intervalMs: 500 }
    );
    const socket = new WebSocket(target.webSocketDebuggerUrl, { perMessageDeflate: false });
    await new Promise((resolve, reject) => {
      socket.once("open", resolve);
      socket.once("error", reject);
    });
    return new DevToolsPage(socket);
  }

  constructor(socket) {
    this.socket = socket;
    this.nextId = 1;
    this.pending = new Map();
    socket.on("message", (data) => {
      const message = JSON.parse(data.toString());
      const entry = message.id !== undefined && this.pending.get(message.id);
      if (!entry) return;
      this.pending.delete(message.id);
      if (message.error) entry.reject(new Error(`${entry.method}: ${message.error.message}`));
      else entry.resolve(message.result);
    });
    socket.on("close", () => {
      for (const entry of this.pending.values()) entry.reject(new Fatal(`${entry.method}: DevTools connection closed`));
      this.pending.clear();
    });
  }

  send(method, params = {}) {
    const id = this.nextId++;
    return new Promise((resolve, reject) => {
      this.pending.set(id, { resolve, reject, method });
      this.socket.send(JSON.stringify({ id, method, params }), (error) => {
        if (error) {
          this.pending.delete(id);
          reject(new Fatal(`${method}: ${error.message}`));
        }
      });
    });
  }

  // The value of a page expression (JSON-serialisable values only).
  async evaluate(expression) {
    const { result, exceptionDetails } = await this.send("Runtime.evaluate", {
      expression,
      returnByValue: true,
      awaitPromise: true,
    });
    if (exceptionDetails) {
      throw new Error(`page script failed: ${exceptionDetails.exception?.description ?? exceptionDetails.text}`);
    }
    return result.value;
  }

  // A left click as a user makes it: move there, press, release.
  async click(x, y) {
    const base = { x, y, button: "left", clickCount: 1 };
    await this.send("Input.dispatchMouseEvent", { type: "mouseMoved", x, y, button: "none" });
    await sleep(150);
    await this.send("Input.dispatchMouseEvent", { ...base, type: "mousePressed", buttons: 1 });
    await sleep(150);
    await this.send("Input.dispatchMouseEvent", { ...base, type: "mouseReleased", buttons: 0 });
    await sleep(150);
  }

  async screenshot() {
    const { data } = await this.send("Page.captureScreenshot", { format: "png" });
    return Buffer.from(data, "base64");
  }

  close() {
    this.socket.close();
  }
}

// Enough PNG decoding for the engine's screenshots: 8-bit RGB or RGBA,
// not interlaced. Returns { width, height, pixel(x, y) -> [r, g, b] }.
export function decodePng(png) {
  const signature = Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]);
  if (!png.subarray(0, 8).equals(signature)) throw new Error("not a PNG");
  let width = 0, height = 0, channels = 0;
  const idat = [];
  for (let at = 8; at < png.length; ) {
    const length = png.readUInt32BE(at);
    const type = png.toString("latin1", at + 4, at + 8);
    const body = png.subarray(at + 8, at + 8 + length);
    if (type === "IHDR") {
      width = body.readUInt32BE(0);
      height = body.readUInt32BE(4);
      const [depth, colorType, , , interlace] = body.subarray(8, 13);
      channels = { 2: 3, 6: 4 }[colorType];
      if (depth !== 8 || !channels || interlace !== 0) throw new Error("unsupported PNG layout");
    } else if (type === "IDAT") {
      idat.push(body);
    }
    at += 12 + length;
  }
  const raw = inflateSync(Buffer.concat(idat));
  const stride = width * channels;
  const pixels = Buffer.alloc(stride * height);
  for (let y = 0; y < height; ++y) {
    const filter = raw[y * (stride + 1)];
    const line = raw.subarray(y * (stride + 1) + 1, (y + 1) * (stride + 1));
    for (let i = 0; i < stride; ++i) {
      const left = i >= channels ? pixels[y * stride + i - channels] : 0;
      const up = y > 0 ? pixels[(y - 1) * stride + i] : 0;
      const upLeft = y > 0 && i >= channels ? pixels[(y - 1) * stride + i - channels] : 0;
      let predictor = 0;
      if (filter === 1) predictor = left;
      else if (filter === 2) predictor = up;
      else if (filter === 3) predictor = (left + up) >> 1;
      else if (filter === 4) {
        const p = left + up - upLeft;
        const pa = Math.abs(p - left), pb = Math.abs(p - up), pc = Math.abs(p - upLeft);
        predictor = pa <= pb && pa <= pc ? left : pb <= pc ? up : upLeft;
      }
      pixels[y * stride + i] = (line[i] + predictor) & 0xff;
    }
  }
  return {
    width,
    height,
    pixel(x, y) {
      const at = Math.round(y) * stride + Math.round(x) * channels;
      return [pixels[at], pixels[at + 1], pixels[at + 2]];
    },
    region(x, y, w, h) {
      const out = [];
      for (let j = 0; j < h; ++j) for (let i = 0; i < w; ++i) out.push(...this.pixel(x + i, y + j));
      return out;
    },
  };
}
