"""Bounded subprocesses: every child gets a time limit and its whole group is ended."""
import os
import signal
import subprocess


def run_bounded(command, timeout, **kwargs):
    """subprocess.run with the process group killed on time-out; returns (code, stdout, stderr) bytes.
    Standard input is empty unless a stdin is given."""
    kwargs.setdefault('stdin', subprocess.DEVNULL)
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               start_new_session=True, **kwargs)
    try:
        stdout, stderr = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        end_group(process)
        stdout, stderr = process.communicate()
        raise TimeoutError('%s did not end within %s s\n--- stderr\n%s'
                           % (command[0], timeout, stderr.decode('utf-8', 'replace')[-4000:]))
    return process.returncode, stdout, stderr


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
