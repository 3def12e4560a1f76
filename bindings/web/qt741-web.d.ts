// Type declarations of qt741-web (qt741-web.js).

export declare const CARD_OK: 1;
export declare const CARD_NOT_OPEN: -1;
export declare const CARD_IO_FAILED: -4;
export declare const CARD_CANCELLED: -5;
export declare const CARD_BUSY: -6;
export declare const DEFAULT_URL: string;

/** The library's twelve functions, as the header spells them. */
export type CallName =
  | "CreatmComm" | "DestroymComm" | "CardReset" | "IsReadError" | "IsWriteError"
  | "WrTr1Card" | "WrTr2Card" | "WrTr12Card" | "RadTr1Card" | "RadTr2Card" | "RadTr12Card" | "CardCancel";

/** The protocol's codes for a request that could not be made, and "connection". */
export type ErrorCode = "bad-json" | "unknown-call" | "bad-argument" | "too-large" | "forbidden" | "connection";

export interface CallArgs {
  port?: string;
  /** One character a byte, U+0001 to U+00FF. */
  track1?: string;
  track2?: string;
  /** Gives up the wait after this many milliseconds (1 to 3600000). */
  timeoutMs?: number;
}

/** The library's result; a read's tracks; timedOut when timeoutMs passed. */
export interface CallResult {
  result: number;
  track1?: string;
  track2?: string;
  timedOut?: true;
}

export declare class BridgeError extends Error {
  readonly code: ErrorCode;
  constructor(code: ErrorCode, message: string);
}

export declare class Bridge {
  call(name: CallName, args?: CallArgs): Promise<CallResult>;
  readTracks(options?: { tracks?: "1" | "2" | "12"; timeoutMs?: number }): Promise<CallResult>;
  writeTracks(options: { track1?: string; track2?: string; timeoutMs?: number }): Promise<CallResult>;
  cancel(): Promise<CallResult>;
  reset(): Promise<CallResult>;
  close(): void;
}

export declare function connect(options?: { url?: string }): Promise<Bridge>;
