"""End-to-end harness: runs update-host against a real update-server on 127.0.0.1.

    with Run(current_flavour()) as run:
        run.package('game', files={'a.txt': b'hello'}, system={'x.dll': b'...'})
        run.server()
        result = run.update('game', server='127.0.0.1')
        assert result.exit_code == 0
"""
from .flavour import Flavour, current_flavour
from .gamedata import ServerEntry, FuncEntry, gamedata_xml
from .packages import read_list, replace_package, stored_package
from .run import Run, HarnessError
from .transcript import RunResult, parse_transcript

__all__ = [
    'Flavour', 'current_flavour', 'ServerEntry', 'FuncEntry', 'gamedata_xml',
    'Run', 'HarnessError', 'RunResult', 'parse_transcript',
    'read_list', 'replace_package', 'stored_package',
]
