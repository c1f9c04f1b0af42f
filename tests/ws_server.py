#!/usr/bin/python3
"""WebSocket peer of the console tests and the WebSocket benchmark.

Built on Debian's python3-websockets. Listens on 127.0.0.1 (plain, and TLS
when a certificate is given). Paths under /raw/ never negotiate a
subprotocol; the others pick "base64" when the client offers it, and then
carry console bytes as Base64 text frames, the way cloud console proxies do.

  /echo                 every message back as it came
  /console              an interactive bash --norc under a pseudo-terminal
  /fragments            one message in three fragments, a ping between them
  /ping                 a ping with a payload; "pong ok" once the pong matches
  /close?code=N&reason=R  the server closes; the client's answer is logged
  /wait-close           logs the code and reason of the client's close
  /stream?size=N&count=M  M binary messages of N bytes, then the send rate
  /flood?size=N&count=M&rate=R&chunk=C&hold=1
                        M copies of an N-byte block of console output (log
                        lines, colours, cursor moves, UTF-8, invalid UTF-8 and
                        escape garbage; each block ends in CAN and a reset, so
                        the next starts on a clean parser) in messages of C
                        bytes (default 65536), at R bytes/s (0, the default:
                        as fast as possible), then "\r\nflood end\r\n"; the
                        server closes unless hold=1 (then it waits for the
                        client's close)
  /http200              a plain HTTP answer instead of the upgrade

The local cloud runs one on port 6083 as its console server: Nova's serial
console addresses and the container stand-in's point at its /console.

Lines for the tests go to standard output, flushed: "closed PATH code=N
reason=R", "stream BYTES bytes in SECONDS s" and "flood BYTES bytes in
SECONDS s".

  ws_server.py --flood-block N   writes the flood's block to standard output
                                 (benchmarks feed the same bytes straight)
"""
import argparse
import asyncio
import base64
import http
import os
import random
import signal
import ssl
import subprocess
import sys
import time
import urllib.parse

import websockets
import websockets.legacy.server

TERM = "dumb"


def log(text):
    print(text, flush=True)


class Protocol(websockets.legacy.server.WebSocketServerProtocol):
    def select_subprotocol(self, client_subprotocols, server_subprotocols):
        if self.path.startswith("/raw/"):
            return None
        return "base64" if "base64" in client_subprotocols else None

    async def process_request(self, path, request_headers):
        if path.startswith("/http200"):
            return http.HTTPStatus.OK, [("Content-Type", "text/plain")], b"no websocket here\n"
        return None


def encode(ws, data):
    """Console bytes as the negotiated subprotocol carries them."""
    if ws.subprotocol == "base64":
        return base64.b64encode(data).decode("ascii") + "\r\n"
    return data


def decode(ws, message):
    if isinstance(message, str):
        return base64.b64decode(message) if ws.subprotocol == "base64" else message.encode()
    return message


async def echo(ws):
    async for message in ws:
        await ws.send(message)


async def console(ws):
    master, slave = os.openpty()
    env = {"PATH": "/usr/bin:/bin", "TERM": TERM, "PS1": "$ ", "HOME": "/tmp", "LANG": "C.UTF-8"}
    proc = subprocess.Popen(["/bin/bash", "--norc", "--noprofile", "-i"], stdin=slave, stdout=slave,
                            stderr=slave, env=env, start_new_session=True, close_fds=True)
    os.close(slave)
    loop = asyncio.get_running_loop()
    out = asyncio.Queue()

    def readable():
        try:
            data = os.read(master, 65536)
        except OSError:
            data = b""
        if not data:
            loop.remove_reader(master)
        out.put_nowait(data)

    loop.add_reader(master, readable)

    async def pump_out():
        while True:
            data = await out.get()
            if not data:
                await ws.close(1000, "shell ended")
                return
            await ws.send(encode(ws, data))

    pump = asyncio.ensure_future(pump_out())
    try:
        async for message in ws:
            os.write(master, decode(ws, message))
    except websockets.ConnectionClosed:
        pass
    finally:
        pump.cancel()
        loop.remove_reader(master)
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait()
        os.close(master)


async def fragments(ws):
    if ws.subprotocol == "base64":
        # "foobarbaz", cut inside a group of four characters
        parts = ["Zm9vYm", "FyYm", "F6"]
    else:
        parts = [b"foo", b"bar", b"baz"]

    async def gen():
        for i, part in enumerate(parts):
            if i == 1:
                pong = await ws.ping(b"between")
                pong.add_done_callback(lambda f: f.cancelled() or f.exception())
            yield part

    await ws.send(gen())
    await ws.wait_closed()


async def ping(ws):
    waiter = await ws.ping(b"are you there?")
    await asyncio.wait_for(waiter, 30)
    await ws.send(encode(ws, b"pong ok"))
    await ws.wait_closed()


async def close(ws, query):
    code = int(query.get("code", ["1000"])[0])
    reason = query.get("reason", [""])[0]
    await ws.close(code, reason)
    log("closed %s code=%s reason=%s" % (ws.path, ws.close_code, ws.close_reason))


async def wait_close(ws):
    try:
        async for _ in ws:
            pass
    except websockets.ConnectionClosed:
        pass  # codes other than 1000 and 1001 end the loop this way
    log("closed %s code=%s reason=%s" % (ws.path, ws.close_code, ws.close_reason))


async def stream(ws, query):
    size = int(query.get("size", ["65536"])[0])
    count = int(query.get("count", ["1024"])[0])
    block = os.urandom(size)
    start = time.monotonic()
    for _ in range(count):
        await ws.send(block)
    elapsed = time.monotonic() - start
    log("stream %d bytes in %.6f s" % (size * count, elapsed))
    await ws.close()


FLOOD_WORDS = [b"server", b"volume", b"ACTIVE", b"error:", b"kernel", b"[  OK  ]", b"eth0", b"10.0.0.12",
               b"Started", b"systemd", b"cloud-init", b"login:"]
FLOOD_TAIL = b"\x18\x1b[0m\r\n"  # CAN ends any sequence the block leaves open
FLOOD_END = b"\r\nflood end\r\n"


def flood_block(size):
    """A deterministic block of what a busy console prints, garbage included."""
    rnd = random.Random(size)
    words = lambda n: b" ".join(rnd.choice(FLOOD_WORDS) for _ in range(n))
    out = bytearray()
    while len(out) < size:
        k = rnd.randrange(100)
        if k < 45:  # log lines
            out += words(3 + rnd.randrange(12)) + b"\r\n"
        elif k < 60:  # colours and attributes in every form
            for _ in range(4):
                out += rnd.choice([b"\x1b[%d;%dm" % (rnd.randrange(2), 30 + rnd.randrange(8)),
                                   b"\x1b[38;5;%dm" % rnd.randrange(256),
                                   b"\x1b[38;2;%d;%d;%d;48;5;%dm" % tuple(rnd.randrange(256) for _ in range(4)),
                                   b"\x1b[%d;4m" % (90 + rnd.randrange(8)), b"\x1b[7m", b"\x1b[1;44m"])
                out += words(2)
            out += b"\x1b[0m\r\n"
        elif k < 70:  # a full-screen program moving the cursor on a 100x32 grid
            for _ in range(5):
                out += b"\x1b[%d;%dH" % (1 + rnd.randrange(32), 1 + rnd.randrange(100)) + words(1)
                out += rnd.choice([b"\x1b[K", b"\x1b[2A", b"\x1b[3C", b"\x1b[1K", b"\x1b[2J"])
            out += b"\x1b[32;1H"
        elif k < 80:  # UTF-8: accents, CJK, emoji
            for _ in range(5 + rnd.randrange(25)):
                cp = rnd.choice([0xE0 + rnd.randrange(32), 0x4E00 + rnd.randrange(0x5000), 0x1F600 + rnd.randrange(64),
                                 0x61 + rnd.randrange(26)])
                out += chr(cp).encode()
            out += b"\r\n"
        elif k < 88:  # invalid UTF-8
            out += rnd.choice([b"\x80\xbf", b"\xc3(", b"\xe2\x82", b"\xf0\x9f\x98", b"\xff\xfe", b"\xc0\xaf",
                               b"\xed\xa0\x80", b"\xf8\x88\x80\x80\x80"]) + words(2) + b"\r\n"
        elif k < 95:  # escape garbage
            out += rnd.choice([b"\x1b[99999999999999999999;-5;;;m", b"\x1b[" + b"1;" * 40 + b"H",
                               b"\x1b[12\x07;3H", b"\x1b]0;" + b"t" * 300 + b"\x07", b"\x1b]2;half title",
                               b"\x1b\\", b"\x1bP1$r\x1b\\", b"\x1b[?25l\x1b[?25h", b"\x1b#8", b"\x1b(0qqq\x1b(B",
                               b"\x1b[5n", bytes(rnd.randrange(32) for _ in range(8)).replace(b"\x1b", b"")])
            out += FLOOD_TAIL
        else:  # a progress bar redrawn in place
            for i in range(11):
                out += b"\r[%-10s] %3d%%" % (b"#" * i, i * 10)
            out += b"\r\n"
    return bytes(out[: size - len(FLOOD_TAIL)]) + FLOOD_TAIL


async def flood(ws, query):
    size = int(query.get("size", ["1048576"])[0])
    count = int(query.get("count", ["1"])[0])
    rate = float(query.get("rate", ["0"])[0])
    chunk = max(1, int(query.get("chunk", ["65536"])[0]))
    block = flood_block(size)
    pieces = [encode(ws, block[i : i + chunk]) for i in range(0, size, chunk)]
    start = time.monotonic()
    sent = 0
    for _ in range(count):
        for i, piece in enumerate(pieces):
            await ws.send(piece)
            sent += min(chunk, size - i * chunk)
            if rate > 0:
                ahead = start + sent / rate - time.monotonic()
                if ahead > 0:
                    await asyncio.sleep(ahead)
    await ws.send(encode(ws, FLOOD_END))
    sent += len(FLOOD_END)
    log("flood %d bytes in %.6f s" % (sent, time.monotonic() - start))
    if query.get("hold", ["0"])[0] == "1":
        await wait_close(ws)
    else:
        await ws.close()


async def handler(ws, path=None):
    url = urllib.parse.urlsplit(ws.path)
    route = url.path[4:] if url.path.startswith("/raw/") else url.path
    query = urllib.parse.parse_qs(url.query)
    try:
        if route == "/echo":
            await echo(ws)
        elif route == "/console":
            # As a console proxy would check it: the token the cloud handed
            # out, logged so tests can ask the cloud whose it is.
            if "token" in query:
                log("console token=%s" % query["token"][0])
            await console(ws)
        elif route == "/fragments":
            await fragments(ws)
        elif route == "/ping":
            await ping(ws)
        elif route == "/close":
            await close(ws, query)
        elif route == "/wait-close":
            await wait_close(ws)
        elif route == "/stream":
            await stream(ws, query)
        elif route == "/flood":
            await flood(ws, query)
        else:
            await ws.close(4004, "no such path")
    except websockets.ConnectionClosed:
        pass


async def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int)
    ap.add_argument("--flood-block", type=int, metavar="N")
    ap.add_argument("--tls-port", type=int)
    ap.add_argument("--cert")
    ap.add_argument("--key")
    ap.add_argument("--term", default="dumb", help="TERM of the console's shell")
    args = ap.parse_args()
    global TERM
    TERM = args.term
    if args.flood_block:
        sys.stdout.buffer.write(flood_block(args.flood_block))
        return
    common = dict(create_protocol=Protocol, subprotocols=["base64"], max_size=None, ping_interval=None,
                  compression=None)
    servers = [await websockets.serve(handler, "127.0.0.1", args.port, **common)]
    if args.tls_port:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(args.cert, args.key)
        servers.append(await websockets.serve(handler, "127.0.0.1", args.tls_port, ssl=ctx, **common))
    stop = asyncio.get_running_loop().create_future()
    for sig in (signal.SIGTERM, signal.SIGINT):
        asyncio.get_running_loop().add_signal_handler(sig, stop.set_result, None)
    await stop
    for s in servers:
        s.close()


if __name__ == "__main__":
    asyncio.run(main())
