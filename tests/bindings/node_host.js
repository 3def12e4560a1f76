'use strict';
// The Node.js binding's test host, run by node_host.py with the Windows build of
// Node.js under Wine:
//
//   node node_host.js MODULE DLL RESULTS COMMAND...
//
// loads bindings/node or the installed package (MODULE) over the DLL (-: load()
// with no path, the library the package carries) and runs the commands in order:
//   open PORT | close | reset | status read|write | write1|write2 TRACK |
//   write12 TRACK1 TRACK2 | read1 | read2 | read12 | promises
// After "promises" the calls go through card.promises. The process's architecture,
// Node.js version and the library loaded, then each call, are appended to
// RESULTS as JSON lines (Node's stdout cannot be a pipe under Wine), and so is an
// error that ends the run (exit code 2).
const fs = require('fs');

const [modulePath, dllPath, resultsPath, ...words] = process.argv.slice(2);
const record = (entry) => fs.appendFileSync(resultsPath, JSON.stringify(entry) + '\n');

const COMMANDS = {
  open: ['CreatmComm', 1],
  close: ['DestroymComm', 0],
  reset: ['CardReset', 0],
  write1: ['WrTr1Card', 1],
  write2: ['WrTr2Card', 1],
  write12: ['WrTr12Card', 2],
  read1: ['RadTr1Card', 0],
  read2: ['RadTr2Card', 0],
  read12: ['RadTr12Card', 0],
};

async function main() {
  const qt741 = require(modulePath);
  const card = dllPath === '-' ? qt741.load() : qt741.load(dllPath);
  record({ host: process.arch, node: process.version, library: card.path });
  let api = card;
  let via = 'call';
  for (let i = 0; i < words.length;) {
    const word = words[i++];
    if (word === 'promises') {
      [api, via] = [card.promises, 'promise'];
      continue;
    }
    let name;
    let args;
    if (word === 'status') {
      name = { read: 'IsReadError', write: 'IsWriteError' }[words[i++]];
      args = [];
    } else if (COMMANDS[word]) {
      const [call, count] = COMMANDS[word];
      [name, args] = [call, words.slice(i, i + count)];
      i += count;
    }
    if (!name) throw new Error(`unknown command at word ${i}: ${word}`);
    const started = Date.now();
    const value = await api[name](...args);
    const entry = { call: name, via, ms: Date.now() - started };
    record(typeof value === 'number' ? { ...entry, result: value } : { ...entry, ...value });
  }
}

main().catch((error) => {
  record({ error: String(error && error.stack ? error.stack : error) });
  process.exitCode = 2;
});
