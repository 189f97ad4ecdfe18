"""Where the binaries are and how update-host is started, natively or under Wine."""
import os
import shutil

MINGW_ZLIB = '/usr/i686-w64-mingw32/lib/zlib1.dll'
WINE_ENV = {
    'WINEDEBUG': '-all',
    # A fresh prefix would otherwise offer to install Mono and Gecko.
    'WINEDLLOVERRIDES': 'mscoree,mshtml=',
}


def _find_binary(build_dir, name):
    """The path of name under build_dir: the usual output folders first, then a walk."""
    for sub in ('', 'bin', os.path.join('tools', 'update-host'),
                os.path.join('tools', 'update-server'), os.path.join('tools', 'make-package')):
        candidate = os.path.join(build_dir, sub, name)
        if os.path.isfile(candidate):
            return candidate
    for root, dirs, files in os.walk(build_dir):
        dirs[:] = [d for d in dirs if d != 'CMakeFiles' and not d.startswith('.')]
        if name in files:
            return os.path.join(root, name)
    raise FileNotFoundError('%s not found under %s' % (name, build_dir))


def _required_env(name):
    value = os.environ.get(name)
    if not value:
        raise EnvironmentError('%s is not set; run the tests through ctest' % name)
    return os.path.abspath(value)


class Flavour:
    """One way of running the launcher: 'native' (libautoupdate.so) or 'wine' (AutoUpdate.dll)."""

    def __init__(self, name):
        if name not in ('native', 'wine'):
            raise ValueError('unknown flavour %r' % name)
        self.name = name
        self.build_dir = _required_env('AUTOUPDATE_BUILD_DIR')
        self.win_build_dir = _required_env('AUTOUPDATE_WIN_BUILD_DIR') if name == 'wine' else None
        self.wine_prefix = _required_env('WINEPREFIX') if name == 'wine' else None

    @property
    def is_wine(self):
        return self.name == 'wine'

    def tool(self, name):
        """A native tool of the build: update-server, make-package."""
        return _find_binary(self.build_dir, name)

    def host_executable_name(self):
        return 'update-host.exe' if self.is_wine else 'update-host'

    def install_host(self, directory):
        """Copies the launcher (and on Windows its DLLs) into directory; returns the launcher's path."""
        os.makedirs(directory, exist_ok=True)
        if self.is_wine:
            shutil.copy2(_find_binary(self.win_build_dir, 'update-host.exe'), directory)
            shutil.copy2(_find_binary(self.win_build_dir, 'AutoUpdate.dll'), directory)
            shutil.copy2(MINGW_ZLIB, os.path.join(directory, 'zlib.DLL'))
        else:
            shutil.copy2(_find_binary(self.build_dir, 'update-host'), directory)
        return os.path.join(directory, self.host_executable_name())

    def library_arguments(self):
        if self.is_wine:
            return []
        return ['--library', _find_binary(self.build_dir, 'libautoupdate.so')]

    def host_path(self, path):
        """A path as the launcher sees it: unchanged natively, Z:\\... under Wine."""
        path = os.path.abspath(path)
        if not self.is_wine:
            return path
        return 'Z:' + path.replace('/', '\\')

    def command(self, host_executable, arguments):
        if self.is_wine:
            return self.wine_command(host_executable, arguments)
        return [host_executable] + self.library_arguments() + arguments

    def shared_display(self):
        """The X display that the Wine fixture started for the whole test run
        (tests/wine/wine_prefix.sh), or None."""
        try:
            with open(self.wine_prefix + '.display') as f:
                number = f.read().split()[0]
        except (OSError, IndexError):
            return None
        return ':' + number if os.path.exists('/tmp/.X11-unix/X' + number) else None

    def wine_command(self, program, arguments):
        """A Windows program under Wine: on the test run's display, else on an X server of its own.
        A test that runs under an X server of its own and starts wine itself keeps that one."""
        display = self.shared_display()
        prefix = ['env', 'DISPLAY=' + display, 'wine'] if display else ['xvfb-run', '-a', 'wine']
        return prefix + [program] + list(arguments)

    def environment(self, system_dir):
        env = dict(os.environ)
        if self.is_wine:
            env.update(WINE_ENV)
            env['WINEPREFIX'] = self.wine_prefix
        else:
            env['AUTOUPDATE_SYSTEM_DIR'] = system_dir
        return env

    def system_dir(self, run_dir):
        """The directory that GetSystemDirectoryA (or AUTOUPDATE_SYSTEM_DIR) names for a run."""
        if not self.is_wine:
            return os.path.join(run_dir, 'system')
        windows = os.path.join(self.wine_prefix, 'drive_c', 'windows')
        wow = os.path.join(windows, 'syswow64')
        # A 32-bit program in a 64-bit prefix is given syswow64 as its system directory.
        return wow if os.path.isdir(wow) else os.path.join(windows, 'system32')


def current_flavour():
    """The flavour CTest asked for (AUTOUPDATE_E2E_FLAVOUR), native by default."""
    return Flavour(os.environ.get('AUTOUPDATE_E2E_FLAVOUR', 'native'))
