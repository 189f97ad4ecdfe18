"""One update-server process on 127.0.0.1 with an ephemeral port."""
import os
import re
import subprocess
import time

from .processes import end_group


class UpdateServer:
    def __init__(self, executable, root, work_dir, extra_arguments=(), start_timeout=15):
        self.port_file = os.path.join(work_dir, 'server-%d.port' % time.monotonic_ns())
        self.log_path = os.path.join(work_dir, 'server-%d.log' % time.monotonic_ns())
        # The scenarios read which files were asked for from the per-request lines.
        command = [executable, '--root', root, '--bind', '127.0.0.1', '--port', '0',
                   '--port-file', self.port_file, '--log-level', 'debug'] + list(extra_arguments)
        self._log = open(self.log_path, 'wb')
        self.process = subprocess.Popen(command, stdout=self._log, stderr=subprocess.STDOUT,
                                        stdin=subprocess.DEVNULL, start_new_session=True)
        self.port = self._wait_for_port(start_timeout)

    def _wait_for_port(self, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError('update-server ended with %s before listening:\n%s'
                                   % (self.process.returncode, self.log_text()))
            try:
                with open(self.port_file) as f:
                    text = f.read().strip()
                # The file may be seen before its content is complete.
                if text.isdigit() and int(text) > 0:
                    return int(text)
            except FileNotFoundError:
                pass
            time.sleep(0.05)
        self.stop()
        raise RuntimeError('update-server wrote no port file within %s s:\n%s'
                           % (timeout, self.log_text()))

    def log_text(self):
        try:
            with open(self.log_path, 'rb') as f:
                return f.read().decode('utf-8', 'replace')
        except OSError:
            return ''

    def requested_serials(self):
        """The serials of every file request the server has logged, in order."""
        return [int(serial) for serial in re.findall(r'file \d+/(\d+) offset 0 ', self.log_text())]

    def running(self):
        return self.process.poll() is None

    def stop(self):
        end_group(self.process)
        self._log.close()
