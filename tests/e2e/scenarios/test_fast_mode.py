"""The fast mode between the library and our update-server: the same files and the
same kinds of messages as in the base protocol, and the base protocol again after
a dropped connection."""
import os
import re
import unittest

from harness import Run, ServerEntry, current_flavour

FILES = {
    'big/one.bin': os.urandom(300 * 1024 + 17),
    'big/two.bin': os.urandom(150 * 1024),
    'empty.txt': b'',
    'small.txt': b'small file\r\n',
}


def fast_requests(server):
    return len(re.findall(r'\(fast mode\)$', server.log_text(), re.M))


def kinds(result):
    """The messages without their values, each run of 11114/11117 pairs folded into
    one: the number of progress pairs depends on the chunk size, their place does not."""
    folded = []
    for message in result.messages:
        key = (message.msg, message.wparam if message.msg == 11111 else None)
        if message.msg in (11114, 11117):
            key = "progress"
        if key == (11111, 12):
            continue  # once a second, so it depends on the speed
        if not folded or folded[-1] != key:
            folded.append(key)
    return folded


class FastModeTest(unittest.TestCase):
    def setUp(self):
        self.flavour = current_flavour()

    def test_fast_and_base_servers_give_the_same_files_and_messages(self):
        results = {}
        for mode, extra in (('fast', ()), ('base', ('--fast-chunk', '0'))):
            with Run(self.flavour) as run:
                run.package('game', files=FILES)
                run.server(extra=extra)
                result = run.update('game')
                self.assertEqual(result.exit_code, 0, result.describe())
                for path, content in FILES.items():
                    self.assertEqual(run.game_file(path), content, path + '\n' + result.describe())
                server = run.servers[0]
                if mode == 'fast':
                    self.assertIn('(fast mode offered)', server.log_text())
                    self.assertGreater(fast_requests(server), 0, server.log_text())
                else:
                    self.assertEqual(fast_requests(server), 0, server.log_text())
                results[mode] = result

        fast, base = results['fast'], results['base']
        self.assertEqual(kinds(fast), kinds(base), fast.describe() + '\n' + base.describe())
        self.assertEqual(fast.file_tables()[0].rows, base.file_tables()[0].rows)
        # Larger chunks: fewer progress pairs, the same final count.
        progress = lambda r: [m for m in r.messages if m.msg == 11117]
        self.assertLess(len(progress(fast)), len(progress(base)))
        self.assertEqual((progress(fast)[-1].wparam, progress(fast)[-1].lparam),
                         (progress(base)[-1].wparam, progress(base)[-1].lparam))
        # One frame line per chunk, as in the base protocol: besides the listed files'
        # chunks, the package reply and the package's one chunk.
        frames = lambda r: sum(1 for line in r.log_lines() if line.startswith('接收到数据大小为'))
        for result in (fast, base):
            self.assertEqual(frames(result), len(progress(result)) + 2, result.describe())

    def test_drop_in_a_pipelined_transfer_goes_on_in_the_base_protocol(self):
        with Run(self.flavour) as run:
            run.package('game', files=FILES)
            dropping = run.server(drop_after=200 * 1024)
            steady = run.server()
            run.gamedata([ServerEntry(port=dropping), ServerEntry(port=steady)])
            result = run.update('game', server='127.0.0.1')

            self.assertEqual(result.exit_code, 0, result.describe())
            for path, content in FILES.items():
                self.assertEqual(run.game_file(path), content, path + '\n' + result.describe())
            self.assertIn((30, 1), result.statuses(), result.describe())
            first, second = run.servers
            self.assertGreater(fast_requests(first), 0, first.log_text())
            # On the new connection: no package request and only base requests.
            self.assertNotIn('package "game"', second.log_text())
            self.assertEqual(fast_requests(second), 0, second.log_text())
            self.assertIn('file ', second.log_text())
            self.assertEqual(result.statuses()[-1], (5, 1), result.describe())


if __name__ == '__main__':
    unittest.main()
