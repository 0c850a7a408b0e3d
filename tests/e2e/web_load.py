"""Web clients that load the gateway, for its benchmark (bench/web_wine.py) and
the soak (soak_wine.py --web-clients). Run by
Debian's /usr/bin/python3 (python3-websockets) inside the client's namespace,
one mode per run; the stamps are time.time_ns(), the clock of server_sim's
stamps and journal.

    web_load.py fresh URL OFFSET OUT
        one client subscribed with "interval":0 to a u32 at OFFSET;
        OUT: "value received_ns" per push
    web_load.py fanout URL CLIENTS INTERVAL OFFSET OUT
        CLIENTS clients, each subscribed at INTERVAL ms to a group of 20
        fields: the u32 at OFFSET (which moves all the time) and 19 others,
        each connecting again when its connection ends;
        OUT: "client received_ns value" per push (value: the u32's, -1
        when it did not change)
    web_load.py writes URL OFFSET FIRST COUNT OUT
        COUNT writes of a u32 at OFFSET (FIRST, FIRST+1, ...), each sent once
        the reply of the one before has come; OUT: "value sent_ns"
    web_load.py sink ADDRESS:PORT CONNECTIONS OUT
        no web client: CONNECTIONS plain TCP connections to the bench's floor
        (ipc_probe floor pushes=PORT), reading and dropping the bare pushes
        it sends them; OUT: "connections bytes"

It prints "ready" once every client is connected (and subscribed), then
works until a line comes on its standard input (fresh, fanout) or the writes
are done, writes OUT and prints "done".
"""

import asyncio
import json
import sys
import time

import websockets

TYPES = ["u8", "s16", "u32", "f32", "f64", "s64", "u16"]
SIZES = {"u8": 1, "s16": 2, "u16": 2, "u32": 4, "f32": 4, "f64": 8, "s64": 8}


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


async def connect(url):
    return await websockets.connect(url, max_queue=None, ping_interval=None, open_timeout=30)


async def ask(ws, message):
    """Sends message with an id and returns its reply, skipping pushes."""
    message["id"] = 1
    await ws.send(json.dumps(message))
    while True:
        reply = json.loads(await ws.recv())
        if reply.get("id") == 1:
            if not reply.get("ok"):
                raise RuntimeError("%s: %s" % (message["op"], reply))
            return reply


async def until_stdin():
    await asyncio.get_running_loop().run_in_executor(None, sys.stdin.readline)


async def collect(ws, rows, tag):
    """Appends (the value, received_ns), or with a tag (tag, received_ns, the
    value or -1 when it did not change), for each values push."""
    try:
        async for message in ws:
            now = time.time_ns()
            push = json.loads(message)
            if push.get("op") == "values":
                value = push["values"].get("c", -1)
                rows.append((value, now) if tag is None else (tag, now, value))
    except websockets.exceptions.ConnectionClosed:
        pass


async def fresh(url, offset, out):
    ws = await connect(url)
    await ask(ws, {"op": "declare", "group": "g", "offsets": [{"name": "c", "offset": offset, "type": "u32"}]})
    await ask(ws, {"op": "subscribe", "group": "g", "interval": 0})
    rows = []
    reader = asyncio.create_task(collect(ws, rows, None))
    say("ready")
    await until_stdin()
    reader.cancel()
    await ws.close()
    return rows


def fanout_fields(offset):
    fields = [{"name": "c", "offset": offset, "type": "u32"}]
    at = 0x0300
    for i in range(19):
        kind = TYPES[i % len(TYPES)]
        fields.append({"name": "f%d" % i, "offset": at, "type": kind})
        at += SIZES[kind]
    return fields


async def fanout(url, clients, interval, offset, out):
    """Each client connects again (0.5 s later, as a page's module would) when
    the gateway or the network ends its connection, until the end."""
    rows = []
    ready = [asyncio.Event() for _ in range(clients)]
    ending = asyncio.Event()

    async def client(i):
        while not ending.is_set():
            try:
                ws = await connect(url)
                await ask(ws, {"op": "declare", "group": "g", "offsets": fanout_fields(offset)})
                await ask(ws, {"op": "subscribe", "group": "g", "interval": interval})
                ready[i].set()
                reader = asyncio.create_task(collect(ws, rows, i))
                await asyncio.wait([reader, asyncio.create_task(ending.wait())],
                                   return_when=asyncio.FIRST_COMPLETED)
                reader.cancel()
                await ws.close()
            except (OSError, asyncio.TimeoutError, websockets.exceptions.WebSocketException):
                pass
            if not ending.is_set():
                await asyncio.sleep(0.5)

    tasks = [asyncio.create_task(client(i)) for i in range(clients)]
    for r in ready:
        await r.wait()
    say("ready")
    await until_stdin()
    ending.set()
    await asyncio.gather(*tasks)
    return rows


async def writes(url, offset, first, count, out):
    ws = await connect(url)
    say("ready")
    rows = []
    for value in range(first, first + count):
        sent = time.time_ns()
        reply = await ask(ws, {"op": "write", "values": [{"offset": offset, "type": "u32", "value": value}]})
        if reply.get("sent"):
            rows.append((value, sent))
    await ws.close()
    return rows


async def sink(address, connections, out):
    host, port = address.rsplit(":", 1)
    got = {"connections": 0, "bytes": 0}

    async def drain():
        reader, writer = await asyncio.open_connection(host, int(port))
        got["connections"] += 1
        try:
            while data := await reader.read(65536):
                got["bytes"] += len(data)
        finally:
            writer.close()

    tasks = [asyncio.ensure_future(drain()) for _ in range(connections)]
    say("ready")
    await until_stdin()
    for task in tasks:
        task.cancel()
    await asyncio.gather(*tasks, return_exceptions=True)
    return [(got["connections"], got["bytes"])]


async def main(argv):
    mode, url, args, out = argv[1], argv[2], [int(a, 0) for a in argv[3:-1]], argv[-1]
    rows = await {"fresh": fresh, "fanout": fanout, "writes": writes, "sink": sink}[mode](url, *args, out)
    with open(out, "w") as f:
        f.writelines(" ".join(str(x) for x in row) + "\n" for row in rows)
    say("done")


if __name__ == "__main__":
    asyncio.run(main(sys.argv))
