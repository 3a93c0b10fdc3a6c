#!/usr/bin/env python3
"""A TCP relay that counts connections: listens on COUNT fresh loopback ports, relays each to
127.0.0.1:TARGET, and writes STATE/counter<i>.port and, after every change, STATE/counter<i>.log
lines "open=N most=M total=T" (connections open now, most open at once, accepted in all). A client
pools connections per host and port, so each listener starts with none pooled.
Usage: connection_counter.py STATE TARGET COUNT"""
import asyncio
import os
import sys

state, target, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])


async def pipe(reader, writer):
    try:
        while data := await reader.read(65536):
            writer.write(data)
            await writer.drain()
    except (ConnectionError, OSError):
        pass
    finally:
        writer.close()


def listener(index):
    figures = {"open": 0, "most": 0, "total": 0}
    log = os.path.join(state, "counter%d.log" % index)

    def record():
        with open(log, "a") as f:
            f.write("open=%(open)d most=%(most)d total=%(total)d\n" % figures)

    async def relay(client_reader, client_writer):
        figures["open"] += 1
        figures["total"] += 1
        figures["most"] = max(figures["most"], figures["open"])
        record()
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target)
            await asyncio.gather(pipe(client_reader, server_writer), pipe(server_reader, client_writer))
        except (ConnectionError, OSError):
            client_writer.close()
        finally:
            figures["open"] -= 1
            record()

    return relay


async def main():
    for index in range(count):
        server = await asyncio.start_server(listener(index), "127.0.0.1", 0)
        port = server.sockets[0].getsockname()[1]
        path = os.path.join(state, "counter%d.port" % index)
        with open(path + ".tmp", "w") as f:
            f.write(str(port))
        os.rename(path + ".tmp", path)
    await asyncio.Event().wait()


asyncio.run(main())
