"""The outcome of one update-host run, read from its transcript, log and streams."""
from dataclasses import dataclass, field
from typing import List, Optional

STATUS = 11111
PROGRESS = 11114
FILE_TABLE = 11115
BYTES = 11117


def _value(text):
    try:
        return int(text)
    except ValueError:
        return text


@dataclass
class Message:
    msg: int
    wparam: int
    lparam: object = None  # a number, or the text of an address-carrying message
    rows: List[tuple] = field(default_factory=list)  # (path, size) rows of 11115

    def key(self):
        return (self.msg, self.wparam, self.lparam)


def parse_transcript(text):
    """(messages, comment lines) of a transcript; table rows attach to their 11115."""
    messages, comments = [], []
    for line in text.splitlines():
        if not line.strip():
            continue
        if line.startswith('#'):
            comments.append(line)
        elif line.startswith(' '):
            if not messages or messages[-1].msg != FILE_TABLE:
                raise ValueError('table row outside a file table: %r' % line)
            path, _, size = line.strip().rpartition(' ')
            messages[-1].rows.append((path, int(size)))
        else:
            parts = line.split(' ', 2)
            messages.append(Message(int(parts[0]), int(parts[1]),
                                    _value(parts[2]) if len(parts) > 2 else None))
    return messages, comments


@dataclass
class RunResult:
    exit_code: int
    transcript: str
    messages: List[Message]
    comments: List[str]
    log: Optional[str]  # autoupdatelog.txt decoded from GBK; None when there is none
    stdout: str
    stderr: str
    stderr_bytes: bytes = b''

    def stderr_contains(self, text):
        """Whether the launcher's stderr holds text, written in GBK or in UTF-8."""
        return (text.encode('gbk') in self.stderr_bytes
                or text.encode('utf-8') in self.stderr_bytes)

    def returned(self):
        """The value AutoUpdate returned, from '# AutoUpdate returned N'."""
        for line in self.comments:
            if line.startswith('# AutoUpdate returned '):
                return int(line.split()[-1])
        return None

    def statuses(self):
        """(wParam, lParam) of every 11111 message, in order."""
        return [(m.wparam, m.lparam) for m in self.messages if m.msg == STATUS]

    def keys(self):
        """(msg, wParam, lParam) of every message, in order."""
        return [m.key() for m in self.messages]

    def keys_without_progress(self):
        """The messages that do not depend on chunking or timing (no 11114, 11117, speed)."""
        return [m.key() for m in self.messages
                if m.msg not in (PROGRESS, BYTES) and not (m.msg == STATUS and m.wparam == 12)]

    def file_tables(self):
        return [m for m in self.messages if m.msg == FILE_TABLE]

    def log_lines(self):
        """The log's message texts without the header and the '[    n][hh:mm:ss]' stamps."""
        if self.log is None:
            return []
        lines = []
        for line in self.log.split('\r\n')[1:]:
            if line.startswith('[') and '][' in line:
                lines.append(line[line.index('][') + 11:])
            elif line:
                lines.append(line)
        return lines

    def describe(self):
        """Everything about the run, for assertion messages."""
        return ('exit code %s\n--- transcript\n%s--- log\n%s\n--- stderr\n%s'
                % (self.exit_code, self.transcript, self.log, self.stderr[-4000:]))
