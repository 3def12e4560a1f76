// QT741DLL.dll (libQT741DLL.so.1 on Linux) for Node.js and Electron hosts: the types of qt741.js.

/** Done; the device's status answer ended in "p" (reset: the frame went out). */
export declare const CARD_OK: 1;
/** The port is not open (call CreatmComm first); nothing was sent. */
export declare const CARD_NOT_OPEN: -1;
/** Sending failed, no or a bad answer came, or the arguments were refused. */
export declare const CARD_IO_FAILED: -4;
/** The user pressed Escape, or CardCancel was called, while the call waited; the device was reset. */
export declare const CARD_CANCELLED: -5;
/** Another call of the library was under way (another thread, or a promise not yet settled): this one was refused at once and sent nothing. */
export declare const CARD_BUSY: -6;

/** Buffer sizes of the reads, terminator included: the longest track each returns is one less. */
export declare const CARD_TRACK1_BUFFER_SIZE: 397;
export declare const CARD_TRACK2_BUFFER_SIZE: 396;
export declare const CARD_TRACKS_BUFFER_SIZE: 300;

/** A card function's result: one of the CARD_ codes above. */
export type CardResult = number;

/** What a read returns; the tracks are "" when nothing was read (always on CARD_CANCELLED). */
export interface Track1Read { result: CardResult; track1: string; }
export interface Track2Read { result: CardResult; track2: string; }
export interface TracksRead { result: CardResult; track1: string; track2: string; }

/** The twelve functions, each blocking until the device has answered (CardCancel returns at once). */
export interface QT741 {
  /** The path the library was loaded from. */
  readonly path: string;
  /**
   * Opens the port, e.g. "COM5". 1: open; 0: out of resources; negative: minus
   * the system error (-2: no such port); other positive: open but not configured.
   */
  CreatmComm(portName: string): number;
  /** Closes the port. 1: closed (or was not open); 0: closing failed. */
  DestroymComm(): number;
  CardReset(): CardResult;
  IsReadError(): CardResult;
  IsWriteError(): CardResult;
  /** Track data is ASCII; at most 394 (track 1), 393 (track 2), 393 (both together) characters. */
  WrTr1Card(track1: string): CardResult;
  WrTr2Card(track2: string): CardResult;
  WrTr12Card(track1: string, track2: string): CardResult;
  RadTr1Card(): Track1Read;
  RadTr2Card(): Track2Read;
  RadTr12Card(): TracksRead;
  /**
   * Ends the wait of the call under way (typically one of `promises`) as the
   * Escape key does: it returns CARD_CANCELLED. A request made while no call
   * waits is dropped when the next one starts. Returns 1.
   */
  CardCancel(): number;
  /** The same functions (but CardCancel) on a worker thread, one call after another. */
  readonly promises: QT741Promises;
  unload(): void;
}

export interface QT741Promises {
  CreatmComm(portName: string): Promise<number>;
  DestroymComm(): Promise<number>;
  CardReset(): Promise<CardResult>;
  IsReadError(): Promise<CardResult>;
  IsWriteError(): Promise<CardResult>;
  WrTr1Card(track1: string): Promise<CardResult>;
  WrTr2Card(track2: string): Promise<CardResult>;
  WrTr12Card(track1: string, track2: string): Promise<CardResult>;
  RadTr1Card(): Promise<Track1Read>;
  RadTr2Card(): Promise<Track2Read>;
  RadTr12Card(): Promise<TracksRead>;
}

/**
 * Loads the library from `dllPath`; by default the one the npm package carries
 * for this platform and architecture (prebuilds/), or else QT741DLL.dll from
 * beside the program (then the system folders and PATH; on Linux
 * libQT741DLL.so.1 from the loader's path). Its bitness must match the process's.
 */
export declare function load(dllPath?: string): QT741;
