#!/usr/bin/env python3
"""check_dll_interface.py AutoUpdate.dll

Fails unless the DLL exports exactly _AutoUpdate@20 and _EndUpdate@0 and imports
nothing but Windows' own DLLs (zlib.DLL is loaded at run time, never imported)."""
import re
import subprocess
import sys

OBJDUMP = 'i686-w64-mingw32-objdump'
EXPECTED_EXPORTS = {'_AutoUpdate@20', '_EndUpdate@0'}
SYSTEM_DLLS = {
    'kernel32.dll', 'user32.dll', 'gdi32.dll', 'advapi32.dll', 'ole32.dll', 'oleaut32.dll',
    'wsock32.dll', 'ws2_32.dll', 'msvcrt.dll', 'shell32.dll', 'shlwapi.dll', 'ntdll.dll',
    'rpcrt4.dll', 'version.dll',
}


def exports_and_imports(dump):
    """Exported names and imported DLL names from `objdump -p` output."""
    exports, imports = [], []
    in_names = False
    for line in dump.splitlines():
        if line.startswith('[Ordinal/Name Pointer] Table'):
            in_names = True
            continue
        if in_names:
            match = re.match(r'\s*\[\s*\d+\]\s+(\S+)', line)
            if match:
                exports.append(match.group(1))
                continue
            in_names = False
        match = re.match(r'\s*DLL Name:\s*(\S+)', line)
        if match:
            imports.append(match.group(1))
    return exports, imports


def problems(exports, imports):
    found = []
    if sorted(exports) != sorted(EXPECTED_EXPORTS):
        found.append('exports %s, expected exactly %s' % (sorted(exports), sorted(EXPECTED_EXPORTS)))
    for name in imports:
        lowered = name.lower()
        if lowered not in SYSTEM_DLLS and not lowered.startswith('api-ms-win-'):
            found.append('imports %s, which is not a Windows system DLL' % name)
    return found


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    dump = subprocess.run([OBJDUMP, '-p', argv[1]], check=True, capture_output=True,
                          text=True, timeout=60).stdout
    exports, imports = exports_and_imports(dump)
    print('exports: %s' % ', '.join(exports))
    print('imports: %s' % ', '.join(imports))
    found = problems(exports, imports)
    for problem in found:
        print('FAIL: ' + problem, file=sys.stderr)
    return 1 if found else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
