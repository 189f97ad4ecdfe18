#!/usr/bin/env python3
"""A TCP proxy on 127.0.0.1 that holds every byte for a fixed delay in each
direction: what a long link does to a transfer. With --rate it also passes
the server's bytes to the client at that many bytes a second: a slow line.

    delay_proxy.py --target PORT --delay-ms 20 [--rate BYTES] [--port 0] [--port-file FILE]
"""
import argparse
import asyncio
import collections
import os
import sys


async def paced_write(writer, data, rate):
    """Writes data at rate bytes a second, a tenth of a second's worth at a time."""
    step = max(1, int(rate / 10))
    for start in range(0, len(data), step):
        writer.write(data[start:start + step])
        await writer.drain()
        await asyncio.sleep(len(data[start:start + step]) / rate)


async def pump(reader, writer, delay, rate=None):
    """Forwards what reader yields, each piece `delay` seconds after it came."""
    loop = asyncio.get_running_loop()
    pending = collections.deque()
    arrived = asyncio.Event()
    done = False

    async def receive():
        nonlocal done
        try:
            while True:
                data = await reader.read(1 << 16)
                if not data:
                    break
                pending.append((loop.time() + delay, data))
                arrived.set()
        except (ConnectionError, OSError):
            pass
        done = True
        arrived.set()

    receiver = asyncio.ensure_future(receive())
    try:
        while True:
            if not pending:
                if done:
                    break
                arrived.clear()
                await arrived.wait()
                continue
            due, data = pending[0]
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            pending.popleft()
            if rate:
                await paced_write(writer, data, rate)
                continue
            writer.write(data)
            await writer.drain()
        if writer.can_write_eof():
            writer.write_eof()
    except (ConnectionError, OSError):
        receiver.cancel()


async def serve(args):
    delay = args.delay_ms / 1000.0

    async def handle(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection('127.0.0.1', args.target)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(pump(client_reader, server_writer, delay),
                             pump(server_reader, client_writer, delay, args.rate))
        client_writer.close()
        server_writer.close()

    server = await asyncio.start_server(handle, '127.0.0.1', args.port)
    port = server.sockets[0].getsockname()[1]
    if args.port_file:
        temporary = args.port_file + '.tmp'
        with open(temporary, 'w') as f:
            f.write('%d\n' % port)
        os.replace(temporary, args.port_file)
    async with server:
        await asyncio.sleep(args.lifetime)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--target', type=int, required=True, help='port on 127.0.0.1 to forward to')
    parser.add_argument('--delay-ms', type=float, default=20.0, help='delay each way')
    parser.add_argument('--rate', type=float, default=None,
                        help='bytes a second from the server to the client (default: no limit)')
    parser.add_argument('--port', type=int, default=0)
    parser.add_argument('--port-file')
    parser.add_argument('--lifetime', type=float, default=900.0,
                        help='seconds after which the proxy ends by itself')
    args = parser.parse_args()
    try:
        asyncio.run(serve(args))
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == '__main__':
    sys.exit(main())
