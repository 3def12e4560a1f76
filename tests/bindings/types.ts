// Compiled (not run) by the TypeScript compiler against bindings/node/qt741.d.ts:
// what an Electron or Node.js host writes must type-check, and misuse must not.
import * as qt741 from '../../bindings/node/qt741';
import { CARD_CANCELLED, CARD_OK, QT741, Track1Read, TracksRead } from '../../bindings/node/qt741';

const card: QT741 = qt741.load();
const other: QT741 = qt741.load('C:\\app\\QT741DLL.dll');
const opened: number = card.CreatmComm('COM5');
const written: number = card.WrTr12Card('%B1234^DOE/JOHN^2512?', '1234=2512');
const both: TracksRead = card.RadTr12Card();
const one: Track1Read = card.RadTr1Card();
const track2: string = card.RadTr2Card().track2;
const sizes: number[] = [qt741.CARD_TRACK1_BUFFER_SIZE, qt741.CARD_TRACK2_BUFFER_SIZE, qt741.CARD_TRACKS_BUFFER_SIZE];
const codes: number[] = [qt741.CARD_NOT_OPEN, qt741.CARD_IO_FAILED, card.IsReadError(), card.IsWriteError(),
  card.CardReset(), card.WrTr1Card('A'), card.WrTr2Card('1'), card.DestroymComm(), card.CardCancel()];

async function swipe(): Promise<string | null> {
  const read = await card.promises.RadTr12Card();
  if (read.result === CARD_CANCELLED) return null;
  const status: number = await card.promises.IsReadError();
  return read.result === CARD_OK && status === CARD_OK ? read.track1 + read.track2 : null;
}

// @ts-expect-error a read takes no buffer
card.RadTr1Card(new Uint8Array(397));
// @ts-expect-error a port name is a string
card.CreatmComm(5);
// @ts-expect-error RadTr1Card returns track1 only
card.RadTr1Card().track2;
// @ts-expect-error CardCancel is not queued behind the call it cancels
card.promises.CardCancel();
// @ts-expect-error the promise variants return promises
const sync: number = card.promises.CardReset();

export { other, opened, written, both, one, track2, sizes, codes, swipe, sync };
