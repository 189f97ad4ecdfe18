#!/usr/bin/env python3
"""An update server that speaks only the base protocol, written from its wire
format: it answers the package request with the package's number (offset
112 of a 114-byte reply, nothing after it) and each file request with one
chunk. It serves a package root that make-package built, on 127.0.0.1.

    base_server.py --root ROOT [--port 0] [--port-file FILE] [--chunk 10237]
"""
import argparse
import asyncio
import os
import struct
import sys
import zlib

PACKAGE_REQUEST = 32
FILE_REQUEST = 34
UNKNOWN = 0xFFFF


def load_packages(root):
    """{name: (number, [served path of serial 1, 2, ...], package path)}."""
    packages = {}
    with open(os.path.join(root, 'packages.txt'), encoding='utf-8') as f:
        for line in f:
            fields = line.split()
            if len(fields) != 2:
                continue
            number, name = int(fields[0]), fields[1]
            folder = os.path.realpath(os.path.join(root, name))
            cms = os.path.join(folder, name + '.cms')
            with open(cms, 'rb') as package:
                text = zlib.decompress(package.read())
            records = text.split(b'\n')[2].rstrip(b'\r').split(b',') if text.count(b'\n') >= 2 else []
            files = []
            for i in range(0, len(records) - 3, 4):
                path = records[i].decode('latin-1').replace('\\', '/')
                system = records[i + 2] == b'1'
                files.append(os.path.join(folder, 'system' if system else 'files') + path)
            packages[name] = (number, files, cms)
    return packages


async def serve(args):
    packages = load_packages(args.root)
    by_number = {number: (files, cms) for number, files, cms in packages.values()}

    async def handle(reader, writer):
        try:
            while True:
                head = await reader.readexactly(2)
                body = await reader.readexactly(struct.unpack('<H', head)[0])
                code = struct.unpack_from('<I', body, 0)[0] if len(body) >= 4 else 0
                if code == PACKAGE_REQUEST and len(body) == 112:
                    name = body[10:109].split(b'\0', 1)[0].decode('latin-1')
                    reply = bytearray(114)
                    struct.pack_into('<HH', reply, 0, 112, 0)
                    number = packages[name][0] if name in packages else UNKNOWN
                    struct.pack_into('<H', reply, 112, number)
                    writer.write(bytes(reply))
                elif code == FILE_REQUEST and len(body) == 18:
                    number, serial, offset = struct.unpack_from('<HHI', body, 10)
                    files, cms = by_number.get(number, ([], None))
                    path = cms if serial == 0 else files[serial - 1] if serial <= len(files) else None
                    flag, payload = 0, b''
                    if path is not None:
                        try:
                            with open(path, 'rb') as f:
                                size = os.fstat(f.fileno()).st_size
                                if offset <= size:
                                    f.seek(offset)
                                    payload = f.read(args.chunk)
                                    flag = 2 if offset + len(payload) >= size else 1
                        except OSError:
                            flag, payload = 0, b''
                    writer.write(struct.pack('<HB', 1 + len(payload), flag) + payload)
                else:
                    break
                await writer.drain()
        except (asyncio.IncompleteReadError, ConnectionError):
            pass
        writer.close()

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
    parser.add_argument('--root', required=True)
    parser.add_argument('--port', type=int, default=0)
    parser.add_argument('--port-file')
    parser.add_argument('--chunk', type=int, default=10237, choices=range(1, 10238),
                        metavar='1..10237')
    parser.add_argument('--lifetime', type=float, default=900.0,
                        help='seconds after which the server ends by itself')
    args = parser.parse_args()
    try:
        asyncio.run(serve(args))
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == '__main__':
    sys.exit(main())
