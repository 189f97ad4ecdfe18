"""Bounded subprocesses: every child gets a time limit and its whole group is ended."""
import os
import signal
import subprocess
import tempfile


def run_bounded(command, timeout, **kwargs):
    """subprocess.run with the process group killed on time-out; returns (code, stdout, stderr) bytes.
    Standard input is empty unless a stdin is given.

    The child's exit ends the wait, not the end of its output: a Wine program that starts
    the prefix's wineserver hands its stderr on to the server and to the prefix's own
    processes (services.exe, explorer.exe and the rest), which stay as long as any other
    Wine program runs in the prefix. So the output goes to files, read once the child has
    gone."""
    kwargs.setdefault('stdin', subprocess.DEVNULL)
    with tempfile.TemporaryFile() as stdout, tempfile.TemporaryFile() as stderr:
        process = subprocess.Popen(command, stdout=stdout, stderr=stderr,
                                   start_new_session=True, **kwargs)
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            end_group(process)
            raise TimeoutError('%s did not end within %s s\n--- stderr\n%s'
                               % (command[0], timeout, _read(stderr).decode('utf-8', 'replace')[-4000:]))
        return process.returncode, _read(stdout), _read(stderr)


def _read(stream):
    stream.seek(0)
    return stream.read()


def end_group(process, grace=5):
    """SIGTERM to the child's process group, SIGKILL if it is still there after grace seconds."""
    if process.poll() is not None:
        return
    try:
        os.killpg(process.pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    try:
        process.wait(timeout=grace)
    except subprocess.TimeoutExpired:
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        process.wait(timeout=grace)
