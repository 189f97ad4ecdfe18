#!/usr/bin/env python3
"""Checks that every query in the Grafana dashboard and every expression in the
alert rules names only metrics a real update-server exports.

    check_metric_names.py --dashboard JSON --rules YAML
        (--update-server BIN --make-package BIN | --metrics-file TEXT)

With --update-server the script builds a one-file package with make-package,
starts the server on 127.0.0.1 with ephemeral ports and reads its /metrics.
A renamed or misspelled metric would leave a panel empty or an alert silent
without any error from Grafana or Prometheus, hence this check."""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

import yaml

# PromQL functions (Prometheus 2.42). A name followed by "(" is always a call,
# so an unknown one is a typo, not a metric.
FUNCTIONS = set('''
    abs absent absent_over_time acos acosh asin asinh atan atanh avg_over_time ceil changes
    clamp clamp_max clamp_min cos cosh count_over_time day_of_month day_of_week day_of_year
    days_in_month deg delta deriv end exp floor histogram_count histogram_fraction
    histogram_quantile histogram_sum holt_winters hour idelta increase irate label_join
    label_replace last_over_time ln log10 log2 max_over_time min_over_time minute month pi
    predict_linear present_over_time quantile_over_time rad rate resets round scalar sgn sin
    sinh sort sort_desc sqrt start stddev_over_time stdvar_over_time sum_over_time tan tanh
    time timestamp vector year'''.split())
AGGREGATIONS = set('sum min max avg group stddev stdvar count count_values bottomk topk quantile'.split())
# Keywords whose parenthesised list holds label names, not series.
LABEL_LISTS = set('by without on ignoring group_left group_right'.split())
KEYWORDS = set('and or unless atan2 offset bool inf nan'.split())
# Series Prometheus makes itself for every scrape target.
SCRAPE_METRICS = {'up'}

TOKEN = re.compile(r'''
    (?P<space>\s+|\#[^\n]*)
  | (?P<string>"(?:\\.|[^"\\])*"|'(?:\\.|[^'\\])*'|`[^`]*`)
  | (?P<variable>\$\{[^}]*\}|\$\w+|\[\[\w+(?::\w+)?\]\])
  | (?P<range>\[[^\]]*\])
  | (?P<number>0[xX][0-9a-fA-F]+|(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?(?:[a-zA-Z]+\d*)*)
  | (?P<name>[a-zA-Z_:][a-zA-Z0-9_:]*)
  | (?P<operator>==|!=|=~|!~|<=|>=|[-+*/%^<>=@,(){}])
''', re.VERBOSE)


class QueryError(ValueError):
    pass


def tokens(expression):
    """The expression as (kind, text) pairs, spaces and comments left out."""
    found = []
    position = 0
    while position < len(expression):
        match = TOKEN.match(expression, position)
        if not match:
            raise QueryError('cannot read %r at %r' % (expression, expression[position:position + 20]))
        if match.lastgroup != 'space':
            found.append((match.lastgroup, match.group()))
        position = match.end()
    return found


def metric_names(expression):
    """The set of metric names a PromQL expression selects."""
    found = tokens(expression)
    names = set()
    index = 0
    while index < len(found):
        kind, text = found[index]
        following = found[index + 1] if index + 1 < len(found) else (None, None)
        if text == '{':
            index = _read_matchers(found, index + 1, names, expression)
            continue
        if kind == 'name':
            word = text.lower()
            if word in LABEL_LISTS:
                index += 1
                if found[index:index + 1] == [('operator', '(')]:
                    index = _closing(found, index, expression)
                continue
            if following == ('operator', '('):
                if text not in FUNCTIONS and word not in AGGREGATIONS:
                    raise QueryError('unknown function %s in %r' % (text, expression))
            elif word in AGGREGATIONS and following[1] in ('by', 'without'):
                pass
            elif word not in KEYWORDS:
                names.add(text)
        index += 1
    return names


def _closing(found, index, expression):
    """The index after the ")" that closes the "(" at index."""
    end = next((i for i in range(index, len(found)) if found[i][1] == ')'), None)
    if end is None:
        raise QueryError('unclosed label list in %r' % expression)
    return end + 1


def _read_matchers(found, index, names, expression):
    """Reads label matchers up to "}"; a __name__ matcher names a metric. Returns the index after "}"."""
    while index < len(found) and found[index][1] != '}':
        if found[index][0] == 'name' and index + 2 < len(found):
            label, operator, value = found[index][1], found[index + 1][1], found[index + 2]
            if label == '__name__':
                if operator != '=' or value[0] != 'string':
                    raise QueryError('only __name__="..." can be checked, in %r' % expression)
                names.add(value[1][1:-1])
            index += 3
        else:
            index += 1
    if index >= len(found):
        raise QueryError('unclosed "{" in %r' % expression)
    return index + 1


def variable_query_expression(query):
    """The PromQL inside a Grafana template variable's query, or None when it has none."""
    query = query.strip()
    match = re.fullmatch(r'(label_values|query_result)\((.*)\)', query, re.S)
    if not match:
        return None
    inner = match.group(2)
    if match.group(1) == 'query_result':
        return inner
    # label_values(LABEL) or label_values(SELECTOR, LABEL): the selector is all before the last comma.
    depth, cut = 0, -1
    for position, character in enumerate(inner):
        depth += character in '({[' and 1 or character in ')}]' and -1 or 0
        if character == ',' and depth == 0:
            cut = position
    return inner[:cut] if cut >= 0 else None


def _panels(panels):
    for panel in panels:
        yield panel
        yield from _panels(panel.get('panels', []))


def dashboard_queries(dashboard):
    """(where, expression) for every panel target and template variable query."""
    queries = []
    for panel in _panels(dashboard.get('panels', [])):
        for target in panel.get('targets', []):
            queries.append(('panel %r target %s' % (panel.get('title'), target.get('refId')), target.get('expr', '')))
    for variable in dashboard.get('templating', {}).get('list', []):
        if variable.get('type') != 'query':
            continue
        query = variable.get('query', '')
        if isinstance(query, dict):
            query = query.get('query', '')
        expression = variable_query_expression(query)
        if expression is not None:
            queries.append(('variable %r' % variable.get('name'), expression))
    return queries


def datasource_faults(dashboard):
    """Panels and variables tied to one Grafana's data source instead of the $datasource variable."""
    faults = []
    items = [('panel %r' % p.get('title'), p) for p in _panels(dashboard.get('panels', [])) if 'targets' in p]
    items += [('variable %r' % v.get('name'), v) for v in dashboard.get('templating', {}).get('list', [])
              if v.get('type') == 'query']
    for where, item in items:
        source = item.get('datasource')
        if not isinstance(source, dict) or source.get('uid') != '${datasource}':
            faults.append('%s: datasource %r is not {"uid": "${datasource}"}' % (where, source))
    return faults


def rule_queries(rules):
    """(where, expression) for every rule, and the names recording rules define."""
    queries, recorded = [], set()
    for group in rules.get('groups', []):
        for rule in group.get('rules', []):
            name = rule.get('alert') or rule.get('record')
            queries.append(('rule %s in group %s' % (name, group.get('name')), str(rule.get('expr', ''))))
            if 'record' in rule:
                recorded.add(rule['record'])
    return queries, recorded


def exported_names(metrics_text):
    """Metric names in Prometheus text format: every TYPE line and every sample."""
    names = set()
    for line in metrics_text.splitlines():
        if line.startswith('# TYPE '):
            parts = line.split()
            names.add(parts[2])
            if parts[3:] in (['histogram'], ['summary']):
                names.update(parts[2] + suffix for suffix in ('_bucket', '_sum', '_count'))
        elif line and not line.startswith('#'):
            names.add(re.match(r'[a-zA-Z_:][a-zA-Z0-9_:]*', line).group())
    return names


def unknown_names(queries, known):
    """Faults for queries that are empty, unreadable or name metrics not in known; and the names seen."""
    faults, seen = [], set()
    for where, expression in queries:
        if not expression.strip():
            faults.append('%s: no expression' % where)
            continue
        try:
            names = metric_names(expression)
        except QueryError as error:
            faults.append('%s: %s' % (where, error))
            continue
        if not names:
            faults.append('%s: names no metric: %r' % (where, expression))
        seen |= names
        faults += ['%s: %s is not exported' % (where, name) for name in sorted(names - known)]
    return faults, seen


def served_metrics(update_server, make_package):
    """The /metrics text of a freshly started update-server serving a one-file package."""
    work = tempfile.mkdtemp(prefix='metric-names-')
    server = None
    try:
        game = os.path.join(work, 'game')
        os.mkdir(game)
        with open(os.path.join(game, 'a.txt'), 'w') as f:
            f.write('a file to serve\n')
        subprocess.run([make_package, '--name', 'game', '--game', game, '--out', os.path.join(work, 'root')],
                       check=True, stdout=subprocess.DEVNULL, timeout=60)
        port_file = os.path.join(work, 'metrics.port')
        log_path = os.path.join(work, 'server.log')
        with open(log_path, 'wb') as log:
            server = subprocess.Popen([update_server, '--root', os.path.join(work, 'root'), '--bind', '127.0.0.1',
                                       '--port', '0', '--metrics-port', '0', '--metrics-port-file', port_file],
                                      stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                      start_new_session=True)
        # A proxy from the environment must not stand between us and loopback.
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline and server.poll() is None:
            text = open(port_file).read().strip() if os.path.exists(port_file) else ''
            if text.isdigit() and int(text) > 0:
                with opener.open('http://127.0.0.1:%s/metrics' % text, timeout=10) as reply:
                    return reply.read().decode('utf-8')
            time.sleep(0.05)
        raise RuntimeError('update-server gave no metrics port within 15 s:\n' + open(log_path).read())
    finally:
        if server is not None and server.poll() is None:
            os.killpg(server.pid, signal.SIGTERM)
            try:
                server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(server.pid, signal.SIGKILL)
                server.wait()
        shutil.rmtree(work, ignore_errors=True)


def main(arguments):
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--dashboard', required=True)
    parser.add_argument('--rules', required=True)
    parser.add_argument('--update-server')
    parser.add_argument('--make-package')
    parser.add_argument('--metrics-file')
    options = parser.parse_args(arguments)
    if options.metrics_file:
        with open(options.metrics_file) as f:
            metrics_text = f.read()
    elif options.update_server and options.make_package:
        metrics_text = served_metrics(options.update_server, options.make_package)
    else:
        parser.error('give --metrics-file, or --update-server with --make-package')
    known = exported_names(metrics_text) | SCRAPE_METRICS
    with open(options.dashboard) as f:
        dashboard = json.load(f)
    with open(options.rules) as f:
        rules = yaml.safe_load(f)
    panel_queries = dashboard_queries(dashboard)
    alert_queries, recorded = rule_queries(rules)
    faults, seen = unknown_names(panel_queries + alert_queries, known | recorded)
    faults += datasource_faults(dashboard)
    if not panel_queries or not alert_queries:
        faults.append('found %d dashboard queries and %d rules: expected some of each'
                      % (len(panel_queries), len(alert_queries)))
    for fault in faults:
        print('FAIL ' + fault)
    if faults:
        return 1
    print('ok %d dashboard queries and %d rules name only exported metrics: %s'
          % (len(panel_queries), len(alert_queries), ', '.join(sorted(seen))))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
