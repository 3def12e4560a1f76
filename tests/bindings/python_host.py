#!/usr/bin/env python3
"""A Python host of bindings/python/qt741.py for native_hosts.py.

    python_host.py LIBRARY PORT cycle TRACK1 TRACK2   write both tracks, read them back, ask the status
    python_host.py LIBRARY PORT cancel                a read on a second thread; on a line on stdin,
                                                      CardCancel from this one

LIBRARY "-": the installed package qt741 (not bindings/python), loaded with no
path. Prints the library loaded ("library PATH"), each call as
"NAME<TAB>RESULT[<TAB>TRACK...]", and "waiting" once the read thread has started.
"""
import os
import sys
import threading

if sys.argv[1] != "-":
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bindings", "python"))
import qt741  # noqa: E402


def out(*fields):
    print("\t".join(str(int(f)) if isinstance(f, int) else f for f in fields), flush=True)


def main():
    library, port, scenario = sys.argv[1:4]
    card = qt741.load() if library == "-" else qt741.load(library)
    print("library", card.dll._name, flush=True)
    out("CreatmComm", card.CreatmComm(port))
    if scenario == "cycle":
        out("WrTr12Card", card.WrTr12Card(sys.argv[4], sys.argv[5]))
        out("RadTr12Card", *card.RadTr12Card())
        out("IsReadError", card.IsReadError())
    else:
        read = []
        worker = threading.Thread(target=lambda: read.extend(card.RadTr1Card()))
        worker.start()
        out("waiting")
        sys.stdin.readline()
        out("CardCancel", card.CardCancel())
        worker.join(10)
        out("RadTr1Card", *read)
    out("DestroymComm", card.DestroymComm())
    return 0


if __name__ == "__main__":
    sys.exit(main())
