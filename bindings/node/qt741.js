'use strict';
// QT741DLL.dll (Windows) and libQT741DLL.so.1 (Linux) for Node.js and Electron
// hosts, through the FFI package koffi.
//
//   const qt741 = require('qt741');
//   const card = qt741.load();                  // the library the package carries
//   if (card.CreatmComm('COM5') === 1) {
//     const { result, track1, track2 } = card.RadTr12Card();   // waits for a swipe
//     card.DestroymComm();
//   }
//
// Every function blocks until the device has answered (a read or a write waits
// for the swipe). `card.promises` has the same functions returning promises:
// they run on a worker thread one after another, so an Electron main process
// stays responsive meanwhile. The Escape key cancels a waiting call either way,
// and so does card.CardCancel() (call it directly, not through `promises`: it
// must run while the waiting call is still on the worker thread).

const fs = require('fs');
const path = require('path');
const koffi = require('koffi');

// Results of the card functions (QT741DLL.h).
const CARD_OK = 1;
const CARD_NOT_OPEN = -1;
const CARD_IO_FAILED = -4;
const CARD_CANCELLED = -5;
const CARD_BUSY = -6; // another call was under way: refused, nothing sent

// Sizes of the read functions' buffers, terminator included.
const CARD_TRACK1_BUFFER_SIZE = 397;
const CARD_TRACK2_BUFFER_SIZE = 396;
const CARD_TRACKS_BUFFER_SIZE = 300;

const CALLS = [
  'int __stdcall CreatmComm(const char *portName)',
  'int __stdcall DestroymComm()',
  'int __stdcall CardReset()',
  'int __stdcall IsReadError()',
  'int __stdcall IsWriteError()',
  'int __stdcall WrTr1Card(const char *track1)',
  'int __stdcall WrTr2Card(const char *track2)',
  'int __stdcall WrTr12Card(const char *track1, const char *track2)',
];

// Each read: its prototype, and the name and size of each output buffer.
const READS = {
  RadTr1Card: ['int __stdcall RadTr1Card(_Out_ uint8_t *track1)', [['track1', CARD_TRACK1_BUFFER_SIZE]]],
  RadTr2Card: ['int __stdcall RadTr2Card(_Out_ uint8_t *track2)', [['track2', CARD_TRACK2_BUFFER_SIZE]]],
  RadTr12Card: ['int __stdcall RadTr12Card(_Out_ uint8_t *track1, _Out_ uint8_t *track2)',
    [['track1', CARD_TRACKS_BUFFER_SIZE], ['track2', CARD_TRACKS_BUFFER_SIZE]]],
};

// The text in a buffer the library filled: up to its terminator, one byte a character.
function text(buffer) {
  const end = buffer.indexOf(0);
  return buffer.toString('latin1', 0, end < 0 ? buffer.length : end);
}

// The library's file on this platform (on Linux, its soname).
const LIBRARY = process.platform === 'win32' ? 'QT741DLL.dll' : 'libQT741DLL.so.1';

function open(dllPath) {
  try {
    return koffi.load(dllPath);
  } catch (error) {
    const wanted = process.arch === 'ia32' ? 'the 32-bit' : process.arch === 'x64' ? 'the x86_64' : 'a matching';
    error.message = `Loading ${dllPath}: ${error.message} (this is a ${process.platform}-${process.arch} ` +
      `process: it needs ${wanted} ${LIBRARY})`;
    throw error;
  }
}

// The library the npm package carries for this process, prebuilds/PLATFORM-ARCH/,
// or null (e.g. this file copied into an app by itself). A packaged Electron app
// must keep it out of the asar archive (electron-builder: asarUnpack).
function bundled() {
  const file = path.join(__dirname, 'prebuilds', `${process.platform}-${process.arch}`, LIBRARY)
    .replace(`app.asar${path.sep}`, `app.asar.unpacked${path.sep}`);
  return fs.existsSync(file) ? file : null;
}

// Loads the library from `dllPath`; without one, the one the package carries, or
// else by its name: Windows looks for QT741DLL.dll beside the program (node.exe,
// or the Electron app's .exe) first, then in its system folders and on PATH; Linux
// on the loader's path.
function load(dllPath = bundled() || LIBRARY) {
  const lib = open(dllPath);
  const card = { path: dllPath };
  const promises = {};
  let queue = Promise.resolve();
  // One call at a time: each promise call starts when the one before has ended.
  const serial = (start) => {
    const call = queue.then(() => new Promise((resolve, reject) => start((error, value) =>
      (error ? reject(error) : resolve(value)))));
    queue = call.catch(() => {});
    return call;
  };

  for (const prototype of CALLS) {
    const fn = lib.func(prototype);
    const name = fn.info.name;
    card[name] = (...args) => fn(...args);
    promises[name] = (...args) => serial((done) => fn.async(...args, done));
  }
  for (const [name, [prototype, outputs]] of Object.entries(READS)) {
    const fn = lib.func(prototype);
    const buffers = () => outputs.map(([, size]) => Buffer.alloc(size));
    const answer = (result, filled) => {
      const read = { result };
      outputs.forEach(([key], i) => { read[key] = text(filled[i]); });
      return read;
    };
    card[name] = () => {
      const filled = buffers();
      return answer(fn(...filled), filled);
    };
    promises[name] = () => {
      const filled = buffers();
      return serial((done) => fn.async(...filled, done)).then((result) => answer(result, filled));
    };
  }
  // Not queued: it is meant for the call the queue is waiting on.
  const cancel = lib.func('int __stdcall CardCancel()');
  card.CardCancel = () => cancel();
  card.promises = promises;
  card.unload = () => lib.unload();
  return card;
}

module.exports = {
  load,
  CARD_OK,
  CARD_NOT_OPEN,
  CARD_IO_FAILED,
  CARD_CANCELLED,
  CARD_BUSY,
  CARD_TRACK1_BUFFER_SIZE,
  CARD_TRACK2_BUFFER_SIZE,
  CARD_TRACKS_BUFFER_SIZE,
};
