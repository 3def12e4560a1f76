"""The bench's blocking client of cardbridge (bench.py --arch bridge, the default
--client): the same commands and output as bridge_client.mjs, over one WebSocket
from Debian's python3-websocket, each response waited for in a blocking read, as
a program that calls the library waits in its call.

    /usr/bin/python3 bridge_client.py URL TOKEN COMMAND...
"""
import json
import socket
import sys
import time

import websocket

WRITES = {"1": "WrTr1Card", "2": "WrTr2Card", "12": "WrTr12Card"}
READS = {"1": "RadTr1Card", "2": "RadTr2Card", "12": "RadTr12Card"}


def main(url, token, *words):
    ws = websocket.create_connection(url, header=["Authorization: Bearer " + token],
                                     sockopt=[(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)])
    words = list(words)
    number = 0
    while words:
        word = words.pop(0)
        number += 1
        if word == "sleep":
            time.sleep(int(words.pop(0)) / 1000)
            continue
        args = {}
        if word == "write":
            which = words.pop(0)
            name = WRITES[which]
            if which != "2":
                args["track1"] = words.pop(0)
            if which != "1":
                args["track2"] = words.pop(0)
        elif word == "read":
            name = READS[words.pop(0)]
        elif word == "status":
            name = "IsReadError" if words.pop(0) == "read" else "IsWriteError"
        else:
            name = "CardReset"
        text = json.dumps(dict(id=number, call=name, **args))
        start = time.clock_gettime(time.CLOCK_MONOTONIC)
        ws.send(text)
        reply = json.loads(ws.recv())
        end = time.clock_gettime(time.CLOCK_MONOTONIC)
        code = reply.get("result", reply.get("error", {}).get("code"))
        print("%s -> %s [%.2f ms]" % (name, code, (end - start) * 1000))
        if name == "RadTr12Card":
            print('  track 1: "%s"\n  track 2: "%s"' % (reply.get("track1"), reply.get("track2")))
        elif name.startswith("Rad"):
            print('  track: "%s"' % reply.get("track1", reply.get("track2")))
        print("  clock: %.6f %.6f" % (start, end), flush=True)
    ws.close()


if __name__ == "__main__":
    main(*sys.argv[1:])
