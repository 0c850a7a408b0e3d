"""One web client of the gateway, driven line by line: the test writes
commands to its standard input and reads what happened from its standard
output, one line each. Run by Debian's /usr/bin/python3 (python3-websockets),
inside the namespace the client is to come from.

    web_client.py URL [--host ADDRESS] [--origin ORIGIN] [--max-queue N]

URL's host goes into the Host header; --host connects to ADDRESS instead (a
name the client does not own, pointed at it). Commands:

    send JSON         sends one text message
    flood N JSON      sends it N times, reading nothing
    recv SECONDS      prints "msg JSON" for the next message, or "timeout"
    until OP SECONDS  skips messages until one with "op" = OP; prints it
    drain SECONDS     reads everything until the gateway closes ("closed CODE")
                      or the time runs out ("open")
    close             closes and ends

At the start it prints "open" or "refused STATUS"; when the gateway closes
the connection, "closed CODE".
"""

import argparse
import asyncio
import json
import sys

import websockets


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("url")
    parser.add_argument("--host")
    parser.add_argument("--origin")
    parser.add_argument("--max-queue", type=int, default=1024)
    args = parser.parse_args()
    extra = {}
    if args.host:
        extra["host"] = args.host
        extra["port"] = int(args.url.split(":")[2].split("/")[0])
    try:
        ws = await websockets.connect(args.url, origin=args.origin, max_queue=args.max_queue,
                                      open_timeout=10, ping_interval=None, **extra)
    except websockets.exceptions.InvalidStatusCode as refused:
        say("refused %d" % refused.status_code)
        return
    except (OSError, asyncio.TimeoutError, websockets.exceptions.InvalidHandshake) as error:
        say("failed %s" % error)
        return
    say("open")
    loop = asyncio.get_running_loop()
    try:
        while True:
            line = await loop.run_in_executor(None, sys.stdin.readline)
            if not line:
                break
            verb, _, rest = line.strip().partition(" ")
            if verb == "send":
                await ws.send(rest)
            elif verb == "flood":
                count, _, message = rest.partition(" ")
                for _ in range(int(count)):
                    await ws.send(message)
            elif verb == "recv":
                try:
                    say("msg " + await asyncio.wait_for(ws.recv(), float(rest)))
                except asyncio.TimeoutError:
                    say("timeout")
            elif verb == "until":
                op, _, seconds = rest.partition(" ")
                deadline = loop.time() + float(seconds)
                while True:
                    try:
                        message = await asyncio.wait_for(ws.recv(), max(0.0, deadline - loop.time()))
                    except asyncio.TimeoutError:
                        say("timeout")
                        break
                    if json.loads(message).get("op") == op:
                        say("msg " + message)
                        break
            elif verb == "drain":
                deadline = loop.time() + float(rest)
                try:
                    while loop.time() < deadline:
                        await asyncio.wait_for(ws.recv(), max(0.0, deadline - loop.time()))
                except asyncio.TimeoutError:
                    pass
                say("open")
            elif verb == "close":
                await ws.close()
                break
    except websockets.exceptions.ConnectionClosed as closed:
        say("closed %s" % closed.code)


if __name__ == "__main__":
    asyncio.run(main())
