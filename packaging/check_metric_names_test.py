"""The PromQL reading of check_metric_names.py, and that the check fails where it should."""
import contextlib
import io
import json
import os
import tempfile
import unittest

from check_metric_names import QueryError, main, metric_names

HERE = os.path.dirname(os.path.abspath(__file__))
METRICS = '''# HELP autoupdate_server_bytes_total Bytes sent to clients.
# TYPE autoupdate_server_bytes_total counter
autoupdate_server_bytes_total 0
# TYPE autoupdate_server_package_bytes_total counter
# TYPE autoupdate_server_connections gauge
autoupdate_server_connections{state="served"} 0
'''


class MetricNames(unittest.TestCase):
    def test_functions_aggregations_labels_and_variables_are_not_metrics(self):
        self.assertEqual(metric_names('sum by (instance, state) (rate(autoupdate_server_bytes_total'
                                      '{job=~"$job", instance=~"${instance}"}[$__rate_interval]))'),
                         {'autoupdate_server_bytes_total'})
        self.assertEqual(metric_names('sum(rate(a_total[5m:1m] offset 1h)) without (reason) / on (instance) '
                                      'group_left(state) b > bool 0 or vector(0) # a comment naming c'),
                         {'a_total', 'b'})
        self.assertEqual(metric_names('topk(3, x) and count_values("value", y) unless z == Inf'), {'x', 'y', 'z'})
        self.assertEqual(metric_names('{__name__="up", job="x"}'), {'up'})

    def test_unknown_functions_and_broken_queries_are_errors(self):
        for query in ('rat(a[5m])', 'a{job="x"', '{__name__=~"a.*"}', 'a{job="x} b'):
            with self.assertRaises(QueryError, msg=query):
                metric_names(query)


class WholeCheck(unittest.TestCase):
    def run_check(self, dashboard):
        with tempfile.TemporaryDirectory() as work:
            paths = {name: os.path.join(work, name) for name in ('d.json', 'm.txt')}
            with open(paths['d.json'], 'w') as f:
                json.dump(dashboard, f)
            with open(paths['m.txt'], 'w') as f:
                f.write(METRICS)
            output = io.StringIO()
            with contextlib.redirect_stdout(output):
                code = main(['--dashboard', paths['d.json'], '--metrics-file', paths['m.txt'],
                             '--rules', os.path.join(HERE, 'update-server-alerts.yml')])
            return code, output.getvalue()

    def panel(self, expr):
        return {'title': 'p', 'datasource': {'uid': '${datasource}'}, 'targets': [{'refId': 'A', 'expr': expr}]}

    def test_a_misspelled_metric_in_a_collapsed_row_fails(self):
        row = {'type': 'row', 'panels': [self.panel('rate(autoupdate_server_byte_total[5m])')]}
        code, output = self.run_check({'panels': [row]})
        self.assertEqual(code, 1)
        self.assertIn("panel 'p' target A: autoupdate_server_byte_total is not exported", output)


if __name__ == '__main__':
    unittest.main()
