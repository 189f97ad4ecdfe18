"""Package files made by hand, for the cases make-package refuses to make."""
import os
import zlib


def package_file(root, name):
    """The .cms the server of root serves for package name (through its link)."""
    return os.path.realpath(os.path.join(root, name + '.cms'))


def read_list(root, name):
    """The update list text inside a built package."""
    with open(package_file(root, name), 'rb') as f:
        return zlib.decompress(f.read())


def stored_package(list_text, size):
    """A valid zlib stream of exactly size bytes holding list_text, padded in its first
    header line (stored blocks cost 11 bytes around the data)."""
    header, rest = list_text.split(b'\n', 1)
    padding = size - 11 - len(list_text)
    if padding < 0 or size - 11 > 65535:
        raise ValueError('a stored package of %d bytes cannot hold this list' % size)
    data = header + b'x' * padding + b'\n' + rest
    stream = zlib.compress(data, 0)
    assert len(stream) == size, len(stream)
    return stream


def replace_package(root, name, content):
    """Overwrites the served .cms of a built package; do it before the server starts."""
    with open(package_file(root, name), 'wb') as f:
        f.write(content)
