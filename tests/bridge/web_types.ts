// Compiled (not run) by the TypeScript compiler against bindings/web/qt741-web.d.ts:
// what a web page writes must type-check, and misuse must not.
import { BridgeError, CARD_CANCELLED, CARD_OK, CallResult, connect } from "../../bindings/web/qt741-web";

async function page(): Promise<string | null> {
  const bridge = await connect({ url: "ws://127.0.0.1:8741/v1" });
  const written: CallResult = await bridge.writeTracks({ track1: "%B4111^DOE/JOHN^2512?", track2: ";4111=2512?" });
  if (written.result !== CARD_OK) return null;
  const read = await bridge.readTracks({ tracks: "12", timeoutMs: 30000 });
  if (read.result === CARD_CANCELLED && read.timedOut) return null;
  const opened: number = (await bridge.call("CreatmComm", { port: "COM5" })).result;
  const codes: number[] = [opened, (await bridge.cancel()).result, (await bridge.reset()).result];
  bridge.close();
  return `${read.track1 ?? ""} ${read.track2 ?? ""} ${codes.join()}`;
}

page().catch((e: unknown) => {
  if (e instanceof BridgeError && e.code === "too-large") console.log(e.message);
});

async function misuse(): Promise<void> {
  const bridge = await connect();
  // @ts-expect-error: no such function of the library
  await bridge.call("FormatCard");
  // @ts-expect-error: tracks is "1", "2" or "12"
  await bridge.readTracks({ tracks: "3" });
  // @ts-expect-error: a track is text
  await bridge.writeTracks({ track1: 42 });
}
void misuse;
