"""gamedata.xml as the launcher's directory holds it."""
from dataclasses import dataclass
from typing import Optional
from xml.sax.saxutils import quoteattr


@dataclass
class ServerEntry:
    """One <server> element; None leaves the attribute out."""
    port: Optional[int]
    ip: Optional[str] = '127.0.0.1'
    serverid: Optional[str] = '1'
    autoupdate: Optional[str] = '1'

    def element(self):
        attributes = [('serverid', self.serverid), ('name', 'test'), ('ip', self.ip),
                      ('autoupdate', self.autoupdate),
                      ('autoupdateport', None if self.port is None else str(self.port))]
        return '<server %s/>' % ' '.join(
            '%s=%s' % (name, quoteattr(value)) for name, value in attributes if value is not None)


@dataclass
class FuncEntry:
    """One <Func> element of FuncConfig."""
    intername: Optional[str] = 'autoupdate'
    expandprop: Optional[str] = None

    def element(self):
        attributes = [('intername', self.intername), ('expandprop', self.expandprop)]
        return '<Func %s/>' % ' '.join(
            '%s=%s' % (name, quoteattr(value)) for name, value in attributes if value is not None)


def gamedata_xml(servers=(), funcs=None, encoding='UTF-8'):
    """The bytes of a gamedata.xml; funcs=None writes no FuncConfig element.

    Wine's XML reader takes UTF-8 or GBK declarations, so those are the two offered."""
    if encoding not in ('UTF-8', 'GBK'):
        raise ValueError('gamedata.xml is written as UTF-8 or GBK')
    lines = ['<?xml version="1.0" encoding="%s"?>' % encoding, '<gamedata>', '  <servers>']
    lines += ['    ' + entry.element() for entry in servers]
    lines.append('  </servers>')
    if funcs is not None:
        lines.append('  <FuncConfig>')
        lines += ['    ' + entry.element() for entry in funcs]
        lines.append('  </FuncConfig>')
    lines.append('</gamedata>')
    return ('\r\n'.join(lines) + '\r\n').encode('utf-8' if encoding == 'UTF-8' else 'gbk')
