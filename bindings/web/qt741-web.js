// qt741-web: the card reader/writer from a web page, through cardbridge on the
// same machine (ws://127.0.0.1:8741/v1 unless told otherwise). No dependencies.
//
//   import { connect } from "qt741-web";
//   const bridge = await connect();
//   const read = await bridge.readTracks({ tracks: "12", timeoutMs: 30000 });
//   if (read.result === CARD_OK) show(read.track1, read.track2);
//
// Results are the library's (CARD_OK, CARD_CANCELLED, ...); a request the
// bridge could not make rejects with a BridgeError whose code is the
// protocol's ("bad-argument", "too-large", ...) or "connection".

// The library's result codes (QT741DLL.h).
export const CARD_OK = 1;
export const CARD_NOT_OPEN = -1;
export const CARD_IO_FAILED = -4;
export const CARD_CANCELLED = -5;
export const CARD_BUSY = -6;

export const DEFAULT_URL = "ws://127.0.0.1:8741/v1";

export class BridgeError extends Error {
  constructor(code, message) {
    super(message);
    this.name = "BridgeError";
    this.code = code;
  }
}

const READS = { 1: "RadTr1Card", 2: "RadTr2Card", 12: "RadTr12Card" };

export class Bridge {
  #socket;
  #next = 1;
  #waiting = new Map();

  constructor(socket) {
    this.#socket = socket;
    socket.addEventListener("message", (event) => this.#receive(event.data));
    socket.addEventListener("close", () => {
      for (const { reject } of this.#waiting.values())
        reject(new BridgeError("connection", "the connection to cardbridge closed"));
      this.#waiting.clear();
    });
  }

  // Any of the library's twelve functions by its name, e.g.
  // call("WrTr1Card", { track1: "%B123?" }); resolves to { result, track1?, track2?, timedOut? }.
  call(name, args = {}) {
    return new Promise((resolve, reject) => {
      if (this.#socket.readyState !== WebSocket.OPEN) {
        reject(new BridgeError("connection", "not connected to cardbridge"));
        return;
      }
      const id = this.#next++;
      this.#waiting.set(id, { resolve, reject });
      this.#socket.send(JSON.stringify({ ...args, id, call: name }));
    });
  }

  // Waits for a card and reads track 1, 2 or both ("1", "2", "12"); timeoutMs
  // gives up the wait (result CARD_CANCELLED, timedOut true).
  readTracks({ tracks = "12", timeoutMs } = {}) {
    const name = READS[String(tracks)];
    if (!name) return Promise.reject(new BridgeError("bad-argument", 'tracks is "1", "2" or "12"'));
    return this.call(name, { timeoutMs });
  }

  // Writes track1, track2 or both on the next card swiped.
  writeTracks({ track1, track2, timeoutMs } = {}) {
    const name =
      track1 !== undefined && track2 !== undefined ? "WrTr12Card"
      : track1 !== undefined ? "WrTr1Card"
      : track2 !== undefined ? "WrTr2Card"
      : null;
    if (!name) return Promise.reject(new BridgeError("bad-argument", "give track1, track2 or both"));
    return this.call(name, { track1, track2, timeoutMs });
  }

  // Ends the wait of the call under way (it returns CARD_CANCELLED).
  cancel() {
    return this.call("CardCancel");
  }

  // Resets the device, abandoning what it waited for.
  reset() {
    return this.call("CardReset");
  }

  close() {
    this.#socket.close();
  }

  #receive(text) {
    let response;
    try {
      response = JSON.parse(text);
    } catch {
      return;
    }
    const waiting = this.#waiting.get(response.id);
    if (!waiting) return;
    this.#waiting.delete(response.id);
    if (response.error) {
      waiting.reject(new BridgeError(response.error.code, response.error.message));
      return;
    }
    const { id, ...result } = response;
    waiting.resolve(result);
  }
}

// Opens the WebSocket to the bridge.
export function connect({ url = DEFAULT_URL } = {}) {
  return new Promise((resolve, reject) => {
    const socket = new WebSocket(url);
    const failed = () =>
      reject(new BridgeError("connection", `cannot connect to ${url}: is cardbridge running, and this page's origin allowed?`));
    socket.addEventListener("error", failed);
    socket.addEventListener("open", () => {
      socket.removeEventListener("error", failed);
      resolve(new Bridge(socket));
    });
  });
}
