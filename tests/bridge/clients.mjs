// The bridge's clients in its tests, started by bridge_test.py against a running
// cardbridge and cardemu (swiped through its control FIFO):
//
//   node clients.mjs browser OPTIONS   Debian's chromium (puppeteer-core): pages on an
//                                      allowed and on another origin, through qt741-web
//   node clients.mjs rows OPTIONS      the refusals and malformed input, over HTTP and WebSocket
//
// OPTIONS (JSON): {modules, bridge, token, emulatorLog, control, web, chromium, profile}.
// Prints "ok NAME" or "FAIL NAME: why" a check; exits 1 when any failed.
import { createRequire } from "node:module";
import fs from "node:fs";
import http from "node:http";
import path from "node:path";

const [what, json] = process.argv.slice(2);
const opts = JSON.parse(json);
const require = createRequire(path.join(opts.modules, "x.js"));
const bridgePort = Number(new URL(opts.bridge).port);
const T1 = "%B4111111111111111^DOE/JOHN^2512101?";
const T2 = ";4111111111111111=2512101?";
let failed = 0;

function check(name, condition, detail) {
  console.log(condition ? `ok ${name}` : `FAIL ${name}: ${detail}`);
  if (!condition) failed++;
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// The emulator's log: how many frames matching `hex` it received.
function frames(hex) {
  const text = fs.existsSync(opts.emulatorLog) ? fs.readFileSync(opts.emulatorLog, "latin1") : "";
  return text.split("\n").filter((l) => new RegExp(`RX ${hex}( |$)`).test(l)).length;
}
async function waitFrames(hex, count, ms = 10000) {
  for (const end = Date.now() + ms; Date.now() < end; await sleep(20)) if (frames(hex) >= count) return true;
  return false;
}
const READ1 = "1B 42 5D", READ2 = "1B 54 5D", READ12 = "1B 5D", WRITE = "1B 74", RESET = "1B 30";
async function swipeAfter(hex, count) {
  if (!(await waitFrames(hex, count))) throw new Error(`the emulator never got frame ${hex} #${count}`);
  fs.writeFileSync(opts.control, "swipe\n");
}

// ---------------------------------------------------------------------------
// One browser scenario: qt741-web in pages of an allowed and of another origin.
async function browser() {
  const puppeteer = require("puppeteer-core");
  // The web app: a page that imports qt741-web, served from another loopback port.
  const app = http.createServer((req, res) => {
    if (req.url === "/qt741-web.js") {
      res.writeHead(200, { "Content-Type": "text/javascript" });
      res.end(fs.readFileSync(opts.web));
    } else {
      res.writeHead(200, { "Content-Type": "text/html" });
      res.end('<!doctype html><title>app</title><script type="module">' +
        'import * as web from "/qt741-web.js"; window.web = web; document.title = "ready";</script>');
    }
  });
  await new Promise((r) => app.listen(Number(opts.appPort), "127.0.0.1", r));
  const allowed = `http://localhost:${opts.appPort}/`; // --allow-origin http://localhost:PORT
  const other = `http://127.0.0.1:${opts.appPort}/`;  // the same files, another origin
  const url = `ws://127.0.0.1:${bridgePort}/v1`;
  const chrome = await puppeteer.launch({
    executablePath: opts.chromium,
    headless: true,
    userDataDir: opts.profile,
    args: ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
      "--disable-component-update", "--disable-sync"],
  });
  const open = async (address) => {
    const page = await chrome.newPage();
    await page.goto(address);
    await page.waitForFunction(() => document.title === "ready");
    return page;
  };
  try {
    const a = await open(allowed);
    await a.evaluate(async (u) => { window.bridge = await web.connect({ url: u }); }, url);

    await a.evaluate((t1, t2) => { window.p = bridge.writeTracks({ track1: t1, track2: t2 }); }, T1, T2);
    await swipeAfter(WRITE, 1);
    check("write both tracks", (await a.evaluate(() => p)).result === 1, "not CARD_OK");

    await a.evaluate(() => { window.p = bridge.readTracks({ tracks: "12" }); });
    await swipeAfter(READ12, 1);
    const read = await a.evaluate(() => p);
    check("read both tracks back", read.result === 1 && read.track1 === T1 && read.track2 === T2, JSON.stringify(read));

    await a.evaluate(() => { window.p = bridge.readTracks({ tracks: "1" }); });
    await waitFrames(READ1, 1);
    const cancel = await a.evaluate(() => bridge.cancel());
    const cancelled = await a.evaluate(() => p);
    check("cancel a waiting read", cancel.result === 1 && cancelled.result === -5 && !cancelled.timedOut,
      JSON.stringify([cancel, cancelled]));

    const started = Date.now();
    const timed = await a.evaluate(() => bridge.readTracks({ tracks: "2", timeoutMs: 400 }));
    check("timeoutMs expires", timed.result === -5 && timed.timedOut === true && Date.now() - started >= 400,
      JSON.stringify(timed));

    // A second tab's call while the first tab's read waits: refused, the wait undisturbed.
    await a.evaluate(() => { window.p = bridge.readTracks({ tracks: "1" }); });
    await waitFrames(READ1, 2);
    const b = await open(allowed);
    const busy = await b.evaluate(async (u) => (await web.connect({ url: u })).readTracks({ tracks: "2" }), url);
    check("a second tab's call during a wait gets CARD_BUSY", busy.result === -6, JSON.stringify(busy));
    await swipeAfter(READ1, 2);
    const first = await a.evaluate(() => p);
    check("the waiting read goes on", first.result === 1 && first.track1 === T1, JSON.stringify(first));

    // Closing the tab that waits cancels its read: the device is reset.
    const resets = frames(RESET);
    await b.evaluate(async (u) => { window.c = await web.connect({ url: u }); window.c.readTracks({ tracks: "12" }); },
      url);
    await waitFrames(READ12, 2);
    await b.close();
    check("closing the waiting tab resets the device", await waitFrames(RESET, resets + 1, 5000),
      `no reset frame after ${resets}`);

    // Another origin: the handshake is refused.
    const c = await open(other);
    const refused = await c.evaluate(async (u) => {
      try { await web.connect({ url: u }); return "connected"; } catch (e) { return e.code; }
    }, url);
    check("a page of another origin is refused", refused === "connection", refused);

    // The bridge's own page: its state, and a shot for the README.
    const own = await chrome.newPage();
    await own.setViewport({ width: 1000, height: 560 });
    await own.goto(opts.bridge);
    await own.waitForFunction(() => /open/.test(document.getElementById("state").textContent));
    await own.type("#track1", T1);
    await own.type("#track2", T2);
    await own.click("#write");
    await swipeAfter(WRITE, 2);
    await own.waitForFunction(() => document.querySelectorAll("#log li").length === 1);
    await own.click("#read");
    await swipeAfter(READ12, 3);
    await own.waitForFunction(() => document.querySelectorAll("#log li").length === 2);
    const shown = await own.$eval("#log", (e) => e.textContent);
    check("the bridge's page writes and reads", shown.includes(T1) && /write -> 1/.test(shown), shown);
    if (opts.screenshot) await own.screenshot({ path: opts.screenshot });
  } finally {
    await chrome.close();
    app.close();
  }
}

// ---------------------------------------------------------------------------
// The refusals and malformed input, a row each.
function request(method, target, headers = {}, body = undefined) {
  return new Promise((resolve) => {
    const req = http.request({ host: "127.0.0.1", port: bridgePort, method, path: target, headers, agent: false },
      (res) => {
        let text = "";
        res.on("data", (d) => (text += d));
        res.on("end", () => resolve({ status: res.statusCode, headers: res.headers, text }));
      });
    req.on("error", (e) => resolve({ status: 0, text: e.message }));
    req.end(body);
  });
}

function socket(headers) {
  const WebSocket = require("ws");
  return new Promise((resolve) => {
    const ws = new WebSocket(`ws://127.0.0.1:${bridgePort}/v1`, { headers });
    const replies = [];
    ws.on("message", (m) => replies.push(JSON.parse(m.toString())));
    ws.on("open", () => resolve({ ws, replies, status: 101 }));
    ws.on("unexpected-response", (_, res) => resolve({ status: res.statusCode }));
    ws.on("error", (e) => resolve({ status: 0, error: e.message }));
  });
}
async function answer(s, message, binary = false) {
  const before = s.replies.length;
  s.ws.send(message, { binary });
  for (const end = Date.now() + 5000; Date.now() < end && s.replies.length === before; ) await sleep(10);
  return s.replies[before] ?? {};
}

async function rows() {
  const host = (h) => ({ Host: h, Authorization: `Bearer ${opts.token}` });
  const p = bridgePort;
  for (const [name, headers, status] of [
    ["Host 127.0.0.1", host(`127.0.0.1:${p}`), 200],
    ["Host localhost", host(`LocalHost:${p}`), 200],
    ["Host [::1]", host(`[::1]:${p}`), 200],
    ["Host of a rebound name", host(`evil.example:${p}`), 403],
    ["Host with another port", host(`127.0.0.1:${p + 1}`), 403],
    ["Host a loopback look-alike", host(`localhost.evil.example:${p}`), 403],
    ["no token", { Host: `127.0.0.1:${p}` }, 401],
    ["a wrong token", { Authorization: `Bearer ${opts.token.slice(0, -1)}x` }, 401],
    ["a token without Bearer", { Authorization: opts.token }, 401],
    ["an allowed origin needs no token", { Origin: opts.origin }, 200],
    ["another origin", { Origin: "https://evil.example" }, 403],
    ["Origin null", { Origin: "null" }, 403],
  ]) {
    const res = await request("GET", "/v1/info", headers);
    check(`GET /v1/info, ${name}: ${status}`, res.status === status, `${res.status} ${res.text}`);
  }
  const pre = await request("OPTIONS", "/v1/call", { Origin: opts.origin, "Access-Control-Request-Method": "POST",
    "Access-Control-Request-Private-Network": "true" });
  check("preflight of an allowed origin", pre.status === 204 && pre.headers["access-control-allow-origin"] === opts.origin
    && pre.headers.vary === "Origin" && pre.headers["access-control-allow-private-network"] === "true",
  JSON.stringify([pre.status, pre.headers]));
  const prx = await request("OPTIONS", "/v1/call", { Origin: "https://evil.example" });
  check("preflight of another origin: 403", prx.status === 403 && !prx.headers["access-control-allow-origin"],
    prx.status);

  const auth = { Authorization: `Bearer ${opts.token}`, "Content-Type": "application/json" };
  // One keep-alive connection: a malformed body is answered and the connection serves the next request.
  const agent = new http.Agent({ keepAlive: true, maxSockets: 1 });
  const ports = [];
  for (const body of ["{oops", '{"id": 1, "call": "CardCancel"}']) {
    ports.push(await new Promise((resolve) => {
      const req = http.request({ host: "127.0.0.1", port: p, method: "POST", path: "/v1/call", headers: auth, agent },
        (res) => { res.resume(); res.on("end", () => resolve(`${res.statusCode}@${req.socket.localPort}`)); });
      req.end(body);
    }));
  }
  agent.destroy();
  check("HTTP: the connection stays usable after malformed input",
    ports[0].startsWith("400@") && ports[1].startsWith("200@") && ports[0].slice(4) === ports[1].slice(4), ports);
  // A POST whose read waits, its connection closed: the read is cancelled (the device reset).
  const resets = frames(RESET);
  const waiting = http.request({ host: "127.0.0.1", port: p, method: "POST", path: "/v1/call", headers: auth,
    agent: false });
  waiting.on("error", () => {});
  waiting.end('{"id": 1, "call": "RadTr12Card"}');
  await waitFrames(READ12, 1);
  waiting.destroy();
  check("HTTP: closing the connection of a waiting call resets the device", await waitFrames(RESET, resets + 1, 5000),
    "no reset frame");
  for (const [name, body, status, code] of [
    ["a body over 4 KiB", JSON.stringify({ call: "WrTr1Card", track1: "x".repeat(5000) }), 413, "too-large"],
    ["malformed JSON", '{"call": "CardReset"', 400, "bad-json"],
    ["not an object", "[1, 2]", 400, "bad-json"],
    ["an unknown call", '{"id": 1, "call": "FormatDisk"}', 400, "unknown-call"],
    ["a port not served", '{"id": 1, "call": "CreatmComm", "port": "/dev/sda"}', 400, "bad-argument"],
    ["a character above U+00FF", '{"id": 1, "call": "WrTr1Card", "track1": "\\u0100"}', 400, "bad-argument"],
    ["NUL in a track", '{"id": 1, "call": "WrTr2Card", "track2": "1\\u00002"}', 400, "bad-argument"],
    ["a missing track", '{"id": 1, "call": "WrTr12Card", "track1": "1"}', 400, "bad-argument"],
    ["a field the call does not take", '{"id": 1, "call": "CardReset", "track1": "1"}', 400, "bad-argument"],
    ["timeoutMs not whole", '{"id": 1, "call": "IsReadError", "timeoutMs": 1.5}', 400, "bad-argument"],
    ["CardCancel", '{"id": "c", "call": "CardCancel"}', 200, undefined],
  ]) {
    const res = await request("POST", "/v1/call", auth, body);
    let reply = {};
    try { reply = JSON.parse(res.text); } catch { /* checked below */ }
    check(`POST /v1/call, ${name}: ${status}`, res.status === status && reply.error?.code === code,
      `${res.status} ${res.text}`);
  }

  // WebSocket: refused handshakes, then malformed input on a connection that stays usable.
  for (const [name, headers, status] of [
    ["WebSocket from another origin", { Origin: "https://evil.example" }, 403],
    ["WebSocket without Origin or token", {}, 401],
    ["WebSocket with a rebound Host", { Origin: opts.origin, Host: `evil.example:${p}` }, 403],
  ]) {
    const s = await socket(headers);
    check(`${name}: ${status}`, s.status === status, s.status);
  }
  const s = await socket({ Origin: opts.origin });
  for (const [name, message, code, binary] of [
    ["a message over 4 KiB", JSON.stringify({ id: 9, call: "WrTr1Card", track1: "x".repeat(5000) }), "too-large"],
    ["malformed JSON", "{nope", "bad-json"],
    ["a binary message", "{}", "bad-json", true],
    ["an unknown call", '{"id": 2, "call": "RadTr3Card"}', "unknown-call"],
    ["call not a string", '{"id": 3, "call": 5}', "bad-argument"],
  ]) {
    const reply = await answer(s, message, binary);
    check(`WebSocket, ${name}: ${code}`, reply.error?.code === code, JSON.stringify(reply));
  }
  const after = await answer(s, '{"id": "still", "call": "CardCancel"}');
  check("WebSocket: the connection stays usable", after.id === "still" && after.result === 1, JSON.stringify(after));
  // A second call on the connection whose read waits: refused at once; CardCancel ends the read.
  s.ws.send('{"id": "wait", "call": "RadTr1Card"}');
  await waitFrames(READ1, 1);
  const second = await answer(s, '{"id": "second", "call": "RadTr2Card"}');
  const cancel = await answer(s, '{"id": "cancel", "call": "CardCancel"}');
  for (const end = Date.now() + 5000; Date.now() < end && !s.replies.some((r) => r.id === "wait"); ) await sleep(10);
  const waited = s.replies.find((r) => r.id === "wait") ?? {};
  check("WebSocket: a second call during a wait gets CARD_BUSY, CardCancel ends the wait",
    second.result === -6 && cancel.result === 1 && waited.result === -5, JSON.stringify([second, cancel, waited]));
  s.ws.close();
  await sleep(200);

  // Calls from elsewhere while one connection's read waits: each answered at
  // once as the library answers it; neither their timeoutMs nor the closing of
  // their connection ends the wait, which only a CardCancel does.
  const a = await socket({ Origin: opts.origin });
  const b = await socket({ Origin: opts.origin });
  const [readsBefore, resetsBefore] = [frames(READ1), frames(RESET)];
  a.ws.send('{"id": "a", "call": "RadTr1Card"}');
  await waitFrames(READ1, readsBefore + 1);
  const refused = async (name, call) => {
    const started = Date.now();
    const reply = await call();
    return [name, reply, Date.now() - started];
  };
  const others = [];
  for (const [call, result] of [["RadTr2Card", -6], ["CreatmComm", -170], ["DestroymComm", 0], ["IsWriteError", -6]])
    others.push([result, await refused(`WebSocket ${call}`, () => answer(b, JSON.stringify({ id: call, call, timeoutMs: 100 })))]);
  others.push([-6, await refused("POST RadTr12Card", async () => JSON.parse((await request("POST", "/v1/call", auth,
    '{"id": "h", "call": "RadTr12Card", "timeoutMs": 100}')).text || "{}"))]);
  for (const [result, [name, reply, ms]] of others)
    check(`${name} during another connection's wait: ${result} at once`,
      reply.result === result && !reply.timedOut && ms < 1000, `${JSON.stringify(reply)} after ${ms} ms`);
  b.ws.close();
  await sleep(400); // past the refused calls' timeoutMs, and b closed
  check("the wait outlives the refused calls' timeoutMs and their connection's closing",
    frames(RESET) === resetsBefore && !a.replies.some((r) => r.id === "a"), JSON.stringify(a.replies));
  const stop = await request("POST", "/v1/call", auth, '{"id": "c", "call": "CardCancel"}');
  for (const end = Date.now() + 5000; Date.now() < end && !a.replies.some((r) => r.id === "a"); ) await sleep(10);
  const ended = a.replies.find((r) => r.id === "a") ?? {};
  check("then a CardCancel over HTTP ends it", stop.status === 200 && ended.result === -5 && !ended.timedOut,
    JSON.stringify([stop.text, ended]));
  a.ws.close();
  await sleep(200);

  // At most 16 connections: the 17th is answered 503 and closed.
  const held = [];
  for (let i = 0; i < 16; i++) held.push(await socket({ Origin: opts.origin }));
  await sleep(100);
  const over = await request("GET", "/v1/info", { Origin: opts.origin });
  check("the 17th connection: 503", held.every((h) => h.status === 101) && over.status === 503,
    `${held.map((h) => h.status)} then ${over.status}`);
  for (const h of held) h.ws?.close();
  await sleep(200);
  const again = await request("GET", "/v1/info", { Origin: opts.origin });
  check("served again once they close", again.status === 200, again.status);
}

try {
  await (what === "browser" ? browser() : rows());
} catch (e) {
  check(what, false, e.stack);
}
process.exit(failed ? 1 : 0);
