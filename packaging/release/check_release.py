"""Checks a release folder: every file is there, AutoUpdate.dll exports exactly the two
entry points, imports only Windows' own DLLs, is stripped and carries a version resource
with the project's version; launcher.exe is stripped too.

    python3 check_release.py FOLDER VERSION"""
import os
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
FILES = ('AutoUpdate.dll', 'zlib.DLL', 'autoupdate.h', 'gamedata.xml', 'launcher.exe', 'INTEGRATION.md')
FIXED_FILE_INFO = struct.pack('<I', 0xFEEF04BD)


def symbols_and_sections(image):
    """A PE image's COFF symbol count and its section names; a long name ("/N") is read
    from the string table behind the symbols."""
    pe = struct.unpack_from('<I', image, 0x3C)[0]
    count, symbols_at, symbols, optional = struct.unpack_from('<H4xIIH', image, pe + 6)
    table = pe + 24 + optional
    strings = symbols_at + 18 * symbols
    names = []
    for i in range(count):
        name = image[table + 40 * i:table + 40 * i + 8].rstrip(b'\0').decode('ascii', 'replace')
        if name.startswith('/') and symbols_at:
            start = strings + int(name[1:])
            name = image[start:image.index(b'\0', start)].decode('ascii', 'replace')
        names.append(name)
    return symbols, names


def fixed_versions(image):
    """(file version, product version) of the VS_FIXEDFILEINFO, as 'a.b.c.d' texts."""
    at = image.find(FIXED_FILE_INFO)
    if at < 0:
        return None
    file_ms, file_ls, product_ms, product_ls = struct.unpack_from('<4I', image, at + 8)
    text = lambda ms, ls: '%d.%d.%d.%d' % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    return text(file_ms, file_ls), text(product_ms, product_ls)


def problems(folder, version):
    found = [name for name in FILES if not os.path.isfile(os.path.join(folder, name))]
    if found:
        return ['missing: ' + ', '.join(found)]
    faults = []
    for name in ('AutoUpdate.dll', 'launcher.exe'):
        with open(os.path.join(folder, name), 'rb') as f:
            image = f.read()
        symbols, sections = symbols_and_sections(image)
        if symbols or any(s.startswith('.debug') for s in sections):
            faults.append('%s is not stripped: %d symbols, sections %s' % (name, symbols, sections))
        if name == 'AutoUpdate.dll':
            expected = ('%s.0' % version,) * 2
            if fixed_versions(image) != expected:
                faults.append('AutoUpdate.dll version resource %r, expected %r' % (fixed_versions(image), expected))
            if 'FileDescription'.encode('utf-16-le') not in image:
                faults.append('AutoUpdate.dll has no FileDescription')
    interface = subprocess.run([sys.executable, os.path.join(HERE, '..', '..', 'tests', 'wine',
                                                             'check_dll_interface.py'),
                                os.path.join(folder, 'AutoUpdate.dll')], capture_output=True, text=True)
    if interface.returncode != 0:
        faults.append('interface: ' + interface.stdout + interface.stderr)
    return faults


if __name__ == '__main__':
    found = problems(sys.argv[1], sys.argv[2])
    for fault in found:
        print('FAIL ' + fault)
    if not found:
        print('ok %s: %s' % (sys.argv[1], ', '.join(FILES)))
    sys.exit(1 if found else 0)
