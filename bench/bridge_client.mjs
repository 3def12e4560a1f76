// The bench's client of cardbridge (bench.py --arch bridge): runs cardtool's
// commands as protocol requests over one WebSocket and prints what cardtool
// --precise prints, so that the bench reads both alike:
//   CALL -> CODE [MS ms], the tracks read, "  clock: START END" (CLOCK_MONOTONIC, s).
//
//   node bridge_client.mjs MODULES URL TOKEN COMMAND...
//   COMMAND: write 1|2|12 TRACK..., read 1|2|12, status read|write, reset, sleep MS
import { createRequire } from "node:module";
import path from "node:path";

const [modules, url, token, ...words] = process.argv.slice(2);
const WebSocket = createRequire(path.join(modules, "x.js"))("ws");
const WRITES = { 1: "WrTr1Card", 2: "WrTr2Card", 12: "WrTr12Card" };
const READS = { 1: "RadTr1Card", 2: "RadTr2Card", 12: "RadTr12Card" };
const seconds = () => Number(process.hrtime.bigint()) / 1e9; // libuv's clock: CLOCK_MONOTONIC

const ws = new WebSocket(url, { headers: { Authorization: `Bearer ${token}` } });
await new Promise((resolve, reject) => ws.once("open", resolve).once("error", reject));
let next = 1;
function call(name, args = {}) {
  return new Promise((resolve) => {
    const start = seconds();
    ws.once("message", (m) => resolve([JSON.parse(m.toString()), start, seconds()]));
    ws.send(JSON.stringify({ id: next++, call: name, ...args }));
  });
}

for (let i = 0; i < words.length; ) {
  const word = words[i++];
  if (word === "sleep") {
    await new Promise((r) => setTimeout(r, Number(words[i++])));
    continue;
  }
  let name, args = {};
  if (word === "write") {
    const which = words[i++];
    name = WRITES[which];
    if (which !== "2") args.track1 = words[i++];
    if (which !== "1") args.track2 = words[i++];
  } else if (word === "read") {
    name = READS[words[i++]];
  } else if (word === "status") {
    name = words[i++] === "read" ? "IsReadError" : "IsWriteError";
  } else {
    name = "CardReset";
  }
  const [reply, start, end] = await call(name, args);
  console.log(`${name} -> ${reply.result ?? reply.error?.code} [${((end - start) * 1000).toFixed(2)} ms]`);
  if (name === "RadTr12Card") console.log(`  track 1: "${reply.track1}"\n  track 2: "${reply.track2}"`);
  else if (name.startsWith("Rad")) console.log(`  track: "${reply.track1 ?? reply.track2}"`);
  console.log(`  clock: ${start.toFixed(6)} ${end.toFixed(6)}`);
}
ws.close();
