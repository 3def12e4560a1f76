// The bridge's own page: the port's state, Read, Write, Cancel and Reset, and
// the last results. It is served by the bridge, so its origin is always allowed.
import { connect, CARD_OK } from "/qt741-web.js";

const $ = (id) => document.getElementById(id);
const NAMES = { 1: "done", "-1": "port not open", "-4": "failed", "-5": "cancelled", "-6": "busy" };

function note(what, response) {
  const item = document.createElement("li");
  let text = `${new Date().toLocaleTimeString()}  ${what}`;
  if (response.error) {
    text += `: ${response.error.code} (${response.error.message})`;
    item.className = "bad";
  } else {
    text += ` -> ${response.result} (${NAMES[response.result] ?? "see the library's codes"})`;
    if (response.timedOut) text += ", timed out";
    for (const key of ["track1", "track2"]) if (key in response) text += `\n  ${key}: ${JSON.stringify(response[key])}`;
    item.className = response.result === CARD_OK ? "ok" : "bad";
  }
  item.textContent = text;
  $("log").prepend(item);
  while ($("log").children.length > 12) $("log").lastChild.remove();
}

async function showState() {
  try {
    const info = await (await fetch("/v1/info")).json();
    $("state").textContent = info.open
      ? `${info.openPort} open · bridge ${info.bridgeVersion}, library ${info.libraryVersion}`
      : `no port open (${info.ports.join(", ")}) · bridge ${info.bridgeVersion}`;
  } catch (e) {
    $("state").textContent = `the bridge does not answer (${e.message})`;
  }
}

async function run(what, action) {
  try {
    note(what, await action());
  } catch (e) {
    note(what, { error: { code: e.code ?? "connection", message: e.message } });
  }
  showState();
}

const bridge = await connect({ url: `ws://${location.host}/v1` });
$("read").onclick = () => run(`read ${$("tracks").value}`, () => bridge.readTracks({ tracks: $("tracks").value }));
$("write").onclick = () => {
  const tracks = {};
  if ($("track1").value) tracks.track1 = $("track1").value;
  if ($("track2").value) tracks.track2 = $("track2").value;
  run("write", () => bridge.writeTracks(tracks));
};
$("cancel").onclick = () => run("cancel", () => bridge.cancel());
$("reset").onclick = () => run("reset", () => bridge.reset());
showState();
