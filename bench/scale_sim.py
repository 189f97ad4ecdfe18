#!/usr/bin/env python3
"""Patch day at internet scale, on paper: the figures quoted in docs/scale.md.

  capacity  the per-connection ceiling of each protocol by round trip, then
            for each arrival scenario the peak of connections and egress that
            a million players ask for, and the servers that carries it
  balance   how the client's choice of server spreads players over the rows
            of gamedata.xml: the preferred address first, then rows drawn with
            the C library's rand() seeded with the time in seconds (the
            Windows library's generator, as the DLL uses it); servers with a
            client limit and a listen backlog, a crash, the client's connect
            (10 s) and read (60 s) time-outs

Plain Python 3, standard library only; the same --seed prints the same
tables. Nothing is measured here: throughput per server comes from the
README's Performance section, everything else is a stated assumption.

usage: bench/scale_sim.py [capacity|balance|all] [--seed N] [--players N]
                          [--patch-gb G] [--servers N] [--slots N|auto]
                          [--backlog N] [--scenario A|B|C]
"""

import argparse
import bisect
import heapq
import math
import random
from collections import deque

# Wire figures of the two protocols (docs/fast-mode.md, src/net/frames.h).
BASE_CHUNK = 10237
BASE_PAUSE_S = 0.005
# What is left over the pause per base frame on loopback (README, Performance).
BASE_LOCAL_S = 0.00016
FAST_CHUNK = 65534
FAST_WINDOW = 16

# Server throughput measured by bench/throughput.sh, 2 cores, loopback
# (README, Performance): payload MB/s and the server's CPU share.
MEASURED = {"fast": (2591e6, 1.08), "base": (912e6, 1.05)}
NIC_GOODPUT = 0.94  # payload share of an Ethernet link's bit rate

# Assumptions: downlink of a player (Mbit/s, share) and round trip to the
# update server (ms, share).
LINKS = [(10, 0.15), (25, 0.15), (50, 0.20), (100, 0.25), (300, 0.15), (1000, 0.10)]
LINK_GOODPUT = 0.9
RTTS = [(10, 0.20), (30, 0.40), (60, 0.25), (120, 0.10), (250, 0.05)]

# Arrival scenarios: (share of players starting in the first hour, time
# constant of the decay within it in s or None for even, share starting
# later that day, spread evenly over hours 1..24).
SCENARIOS = {
    "A": ("25% in hour 1, even; 50% over hours 1-24", 0.25, None, 0.50),
    "B": ("50% in hour 1, decaying (tau 20 min); 40% over hours 1-24", 0.50, 1200.0, 0.40),
    "C": ("80% in hour 1, decaying (tau 10 min); 15% over hours 1-24", 0.80, 600.0, 0.15),
}

CONNECT_TIMEOUT_S = 10.0
READ_TIMEOUT_S = 60.0
FIRST_PAUSE_S = 2.0
RECONNECT_PAUSE_S = 2.4
FIRST_DRAWS = 800
RECONNECT_DRAWS = 499
EPOCH = 1796000000  # time() at the simulated patch's release


def base_ceiling(rtt_s):
    return BASE_CHUNK / (rtt_s + BASE_PAUSE_S + BASE_LOCAL_S)


def fast_ceiling(rtt_s):
    return FAST_WINDOW * FAST_CHUNK / max(rtt_s, 1e-4)


def pick(rng, table):
    x = rng.random()
    for value, share in table:
        x -= share
        if x < 0:
            return value
    return table[-1][0]


def arrival(rng, scenario):
    _, first, tau, later = SCENARIOS[scenario]
    x = rng.random()
    if x < first:
        if tau is None:
            return rng.random() * 3600.0
        # exponential decay truncated to the first hour
        u = rng.random()
        return -tau * math.log(1.0 - u * (1.0 - math.exp(-3600.0 / tau)))
    if x < first + later:
        return 3600.0 + rng.random() * 23 * 3600.0
    return None  # does not play that day


def sample_players(rng, n, scenario):
    """(arrival s, fast-mode rate B/s, base rate B/s) of each player who plays."""
    players = []
    for _ in range(n):
        t = arrival(rng, scenario)
        link = pick(rng, LINKS) * 1e6 / 8 * LINK_GOODPUT
        rtt = pick(rng, RTTS) / 1000.0
        if t is not None:
            players.append((t, min(link, fast_ceiling(rtt)), min(link, base_ceiling(rtt))))
    players.sort()
    return players


def sweep(intervals):
    """Peak of overlapping intervals (start, end, rate): count and summed rate."""
    events = []
    for start, end, rate in intervals:
        events.append((start, 1, rate))
        events.append((end, -1, -rate))
    events.sort()
    count = peak_count = 0
    rate = peak_rate = 0.0
    peak_count_at = peak_rate_at = 0.0
    for t, dc, dr in events:
        count += dc
        rate += dr
        if count > peak_count:
            peak_count, peak_count_at = count, t
        if rate > peak_rate:
            peak_rate, peak_rate_at = rate, t
    return peak_count, peak_count_at, peak_rate, peak_rate_at


def fmt_duration(s):
    if s < 120:
        return "%.0f s" % s
    if s < 7200:
        return "%.0f min" % (s / 60)
    return "%.1f h" % (s / 3600)


def capacity(args):
    size = args.patch_gb * 1e9
    print("## Ceiling of one connection (%d-byte chunk + 5 ms pause per frame; fast: %d x %d bytes per round trip)"
          % (BASE_CHUNK, FAST_WINDOW, FAST_CHUNK))
    print()
    print("| Round trip | Base protocol | %g GB in base | Fast mode | %g GB in fast (link permitting) |"
          % (args.patch_gb, args.patch_gb))
    print("|---|---|---|---|---|")
    b = base_ceiling(0.0)
    print("| loopback | %.0f KB/s (%.1f Mbit/s) | %s | server-bound: 1765 MB/s measured for 1 client (README) | - |"
          % (b / 1e3, b * 8 / 1e6, fmt_duration(size / b)))
    for rtt_ms in (10, 30, 60, 120, 250):
        b = base_ceiling(rtt_ms / 1000.0)
        f = fast_ceiling(rtt_ms / 1000.0)
        print("| %g ms | %.0f KB/s (%.2f Mbit/s) | %s | %.1f MB/s (%.0f Mbit/s) | %s |"
              % (rtt_ms, b / 1e3, b * 8 / 1e6, fmt_duration(size / b), f / 1e6, f * 8 / 1e6,
                 fmt_duration(size / f)))
    print()
    print("Assumed downlinks (Mbit/s: share): %s, goodput %.0f %%; round trips (ms: share): %s"
          % (", ".join("%d: %.0f%%" % (v, s * 100) for v, s in LINKS), LINK_GOODPUT * 100,
             ", ".join("%d: %.0f%%" % (v, s * 100) for v, s in RTTS)))
    print()
    print("## %d players, %g GB each, no server limit (demand)" % (args.players, args.patch_gb))
    print()
    print("| Scenario | Protocol | Players that day | Peak starts/min | Mean transfer | Peak connections | Peak egress | Servers 10 GbE | Servers 25 GbE | Cores at measured rate | Connections per 10 GbE server |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for name in args.scenarios:
        rng = random.Random("%d/%s" % (args.seed, name))
        players = sample_players(rng, args.players, name)
        starts = [p[0] for p in players]
        peak_minute = max(bisect.bisect_left(starts, m * 60 + 60) - bisect.bisect_left(starts, m * 60)
                          for m in range(0, 24 * 60))
        for proto, index in (("fast", 1), ("base", 2)):
            intervals = [(p[0], p[0] + FIRST_PAUSE_S + size / p[index], p[index]) for p in players]
            mean_transfer = sum(i[1] - i[0] for i in intervals) / len(intervals)
            conns, _, rate, rate_at = sweep(intervals)
            gbit = rate * 8 / 1e9
            s10 = math.ceil(gbit / (10 * NIC_GOODPUT))
            s25 = math.ceil(gbit / (25 * NIC_GOODPUT))
            per_core = MEASURED[proto][0] / MEASURED[proto][1]
            cores = math.ceil(rate / per_core)
            print("| %s | %s | %d | %d | %s | %d | %.0f Gbit/s at %s | %d | %d | %d | %d |"
                  % (name, proto, len(players), peak_minute, fmt_duration(mean_transfer), conns, gbit,
                     fmt_duration(rate_at), s10, s25, cores, math.ceil(conns / s10)))
    print()
    for name in args.scenarios:
        print("Scenario %s: %s" % (name, SCENARIOS[name][0]))
    print()
    for proto, (bps, cpu) in MEASURED.items():
        print("Measured (README): %s clients %.0f MB/s at %.0f %% CPU -> %.1f Gbit/s per core"
              % (proto, bps / 1e6, cpu * 100, bps / cpu * 8 / 1e9))
    print("Total bytes: %.2f PB if every player of scenario %s fetches the patch once"
          % (len(players) * size / 1e15, args.scenarios[-1]))


class MsvcRand:
    """rand()/srand() of the Windows C library the DLL links."""

    def __init__(self, seed):
        self.state = seed & 0xFFFFFFFF

    def next(self):
        self.state = (self.state * 214013 + 2531011) & 0xFFFFFFFF
        return (self.state >> 16) & 0x7FFF


class Server:
    def __init__(self, slots, backlog):
        self.slots = slots
        self.backlog = backlog
        self.active = {}  # client id -> session start
        self.queue = deque()  # client ids, arrival order (stale ids skipped)
        self.queued = 0
        self.down = False
        self.starts = 0
        self.busy = 0.0
        self.syn_drops = 0


class Client:
    __slots__ = ("arrive", "remaining", "pause", "tried", "rng", "draws", "stage", "token",
                 "server", "queued_at", "served_at", "runs", "first_slot", "ended")

    def __init__(self, arrive, duration):
        self.arrive = arrive
        self.remaining = duration
        self.ended = None
        self.runs = 0
        self.first_slot = None


def balance_run(players, table, slots, backlog, policy, skew, crash, seed, retries):
    """One simulated patch day. table: the server behind each row (a server
    may stand in several rows); slots: --max-clients of each server;
    policy: common, spread or none (the launcher's preferred address)."""
    rng = random.Random(seed)
    rows = len(table)
    servers = [Server(n, backlog) for n in slots]
    clients = [Client(t, dur) for t, dur in players]
    offsets = [rng.uniform(-skew, skew) if skew else 0.0 for _ in clients]
    preferred = [0 if policy == "common" else rng.randrange(rows) if policy == "spread" else None
                 for _ in clients]
    # A preferred address marks the first row that holds it, not its copies.
    first_row = {}
    for row, server in enumerate(table):
        first_row.setdefault(server, row)
    preferred = [None if p is None else first_row[table[p]] for p in preferred]
    heap = []
    seq = 0
    herd = {}
    codes = {"complete": 0, "27": 0, "78": 0, "23": 0}
    timeouts = [0, 0]  # connect, read

    def push(t, kind, cid, token=None):
        nonlocal seq
        seq += 1
        heapq.heappush(heap, (t, seq, kind, cid, token))

    def start_run(now, cid):
        c = clients[cid]
        c.runs += 1
        c.tried = 0
        c.stage = "first"
        c.token += 1
        c.pause = FIRST_PAUSE_S
        c.rng = None
        c.draws = 0
        p = preferred[cid]
        if p is not None:
            c.tried |= 1 << p
            attempt(now, cid, table[p])
        else:
            next_draw(now, cid)

    def begin_draws(now, cid, draws):
        c = clients[cid]
        c.rng = MsvcRand(EPOCH + int(math.floor(now + offsets[cid])))
        c.draws = draws

    def next_draw(now, cid):
        c = clients[cid]
        if c.rng is None:
            begin_draws(now, cid, FIRST_DRAWS)
        while c.draws > 0:
            c.draws -= 1
            row = c.rng.next() % rows
            if c.tried & (1 << row):
                continue
            c.tried |= 1 << row
            key = (table[row], int(now))
            herd[key] = herd.get(key, 0) + 1
            attempt(now, cid, table[row])
            return
        fail_run(now, cid, {"first": "27", "package": "78", "file": "23"}[c.stage])

    def fail_run(now, cid, code):
        c = clients[cid]
        codes[code] += 1
        if c.runs <= retries:
            push(now + 30.0, "arrive", cid)
        else:
            c.ended = code

    def attempt(now, cid, server):
        c = clients[cid]
        s = servers[server]
        c.token += 1
        if s.down:
            push(now, "fail", cid, c.token)  # port closed: refused at once
        elif len(s.active) < s.slots and s.queued == 0:
            c.server = server
            serve(now, cid, now + c.pause)
        elif s.backlog == "refuse":
            # accepted and closed at once: the client finds out when it reads
            # after its pause, and reconnects
            push(now + c.pause, "refused", cid, c.token)
        elif s.queued < s.backlog:
            c.server = server
            c.queued_at = now
            s.queue.append((cid, c.token))
            s.queued += 1
            push(now + c.pause + READ_TIMEOUT_S, "read_timeout", cid, c.token)
        else:
            s.syn_drops += 1
            push(now + CONNECT_TIMEOUT_S, "fail", cid, c.token)

    def serve(now, cid, begin):
        c = clients[cid]
        s = servers[c.server]
        s.active[cid] = now
        s.starts += 1
        if c.first_slot is None:
            c.first_slot = now - c.arrive
        c.served_at = begin
        push(begin + c.remaining, "done", cid, c.token)

    def leave(now, cid):
        c = clients[cid]
        s = servers[c.server]
        s.busy += now - s.active.pop(cid)
        while s.queue and len(s.active) < s.slots:
            qid, token = s.queue.popleft()
            if clients[qid].token != token:
                continue
            s.queued -= 1
            q = clients[qid]
            q.token += 1
            serve(now, qid, max(now, q.queued_at + q.pause))

    def reconnect(now, cid, stage):
        c = clients[cid]
        c.stage = stage
        c.pause = RECONNECT_PAUSE_S
        begin_draws(now, cid, RECONNECT_DRAWS)
        next_draw(now, cid)

    for cid, c in enumerate(clients):
        c.token = 0
        push(c.arrive, "arrive", cid)
    if crash:
        push(crash[1], "crash", crash[0])
        push(crash[2], "recover", crash[0])

    while heap:
        now, _, kind, cid, token = heapq.heappop(heap)
        if kind == "arrive":
            start_run(now, cid)
        elif kind == "crash":
            s = servers[cid]
            s.down = True
            victims = list(s.active) + [q for q, t in s.queue if clients[q].token == t]
            for vid in victims:
                v = clients[vid]
                if vid in s.active:
                    v.remaining = max(0.0, v.served_at + v.remaining - max(now, v.served_at))
                    s.busy += now - s.active.pop(vid)
                    stage = "file"
                else:
                    stage = "package" if v.stage in ("first", "package") else v.stage
                v.token += 1
                reconnect(now, vid, stage)
            s.queue.clear()
            s.queued = 0
        elif kind == "recover":
            servers[cid].down = False
        else:
            c = clients[cid]
            if token != c.token:
                continue
            if kind == "done":
                leave(now, cid)
                c.token += 1
                c.ended = "complete"
                codes["complete"] += 1
            elif kind == "fail":
                next_draw(now, cid)
            elif kind == "refused":
                c.token += 1
                reconnect(now, cid, "package" if c.stage == "first" else c.stage)
            elif kind == "read_timeout":
                timeouts[1] += 1
                s = servers[c.server]
                s.queued -= 1
                c.token += 1
                reconnect(now, cid, "package" if c.stage == "first" else c.stage)
    for s in servers:
        timeouts[0] += s.syn_drops
    waits = sorted(c.first_slot for c in clients if c.first_slot is not None)
    return servers, codes, timeouts, waits, herd


def pct(values, q):
    if not values:
        return float("nan")
    return values[min(len(values) - 1, int(q * len(values)))]


POLICY_TEXT = {"common": "same for all", "spread": "a row per player", "none": "none (draws only)"}


def balance_rows(players, table, slots, cases, args):
    print("| Preferred address | Clocks | Crash | Backlog when full | Slot use max/mean | Sessions per slot max/mean "
          "| Wait p50 / p99 / max | Connect time-outs | Read time-outs | Ended 27 / 78 / 23 | Completed "
          "| Herd: most draws on one server in one second |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for policy, skew, crash, backlog in cases:
        servers, codes, timeouts, waits, herd = balance_run(
            players, table, slots, backlog, policy, skew, crash, args.seed, args.retries)
        use = [s.busy / s.slots for s in servers]
        per_slot = [s.starts / s.slots for s in servers]
        print("| %s | %s | %s | %s | %.2f | %.2f | %.0f / %.0f / %.0f s | %d | %d | %d / %d / %d | %d of %d | %d |"
              % (POLICY_TEXT[policy], "synced" if not skew else "+-%g s" % skew,
                 "-" if not crash else "server %d, %.0f-%.0f min" % (crash[0] + 1, crash[1] / 60, crash[2] / 60),
                 "closed at once" if backlog == "refuse" else "%d" % backlog,
                 max(use) / (sum(use) / len(use)), max(per_slot) / (sum(per_slot) / len(per_slot)),
                 pct(waits, 0.5), pct(waits, 0.99), waits[-1] if waits else 0.0,
                 timeouts[0], timeouts[1], codes["27"], codes["78"], codes["23"], codes["complete"],
                 len(players), max(herd.values()) if herd else 0))
    print()


def balance(args):
    size = args.patch_gb * 1e9
    rng = random.Random("%d/%s" % (args.seed, args.scenario))
    sampled = sample_players(rng, args.players, args.scenario)
    # The first hour and a half is the part of the day that decides the sizing.
    horizon = 5400.0
    players = [(t, size / fast) for t, fast, _ in sampled if t < horizon]
    demand, demand_at, _, _ = sweep([(t, t + FIRST_PAUSE_S + d, 0.0) for t, d in players])
    total = 1.25 * demand
    slots = int(args.slots) if args.slots != "auto" else math.ceil(total / args.servers)
    mean_service = sum(d for _, d in players) / len(players) + FIRST_PAUSE_S
    sized = math.ceil(slots / mean_service * READ_TIMEOUT_S)
    print("## Server choice: %d players of scenario %s starting in the first %.0f min, fast mode"
          % (len(players), args.scenario, horizon / 60))
    print()
    print("Demand peak %d connections at %s. A player starts a failed run again 30 s later, at most %d times."
          % (demand, fmt_duration(demand_at), args.retries))
    print()
    print("### %d equal servers, one row each, --max-clients %d (1.25x an even share)" % (args.servers, slots))
    print()
    print("A slot frees every %.3f s per server (mean session %.0f s), so %d newcomers are served "
          "within the client's 60 s read time-out." % (mean_service / slots, mean_service, sized))
    print()
    crash2 = (1, 1800.0, 2400.0)
    crash1 = (0, 1800.0, 2400.0)
    b = args.backlog
    balance_rows(players, list(range(args.servers)), [slots] * args.servers, [
        ("common", 0.0, None, b),
        ("common", 30.0, None, b),
        ("common", 0.0, None, sized),
        ("common", 0.0, None, "refuse"),
        ("spread", 0.0, None, b),
        ("none", 0.0, None, b),
        ("none", 30.0, None, b),
        ("common", 0.0, crash2, b),
        ("common", 0.0, crash1, b),
        ("common", 0.0, crash1, "refuse"),
        ("spread", 0.0, crash2, b),
        ("spread", 30.0, crash2, b),
        ("none", 0.0, crash2, b),
    ], args)

    big, small = 4, 8
    unit = total / (big * 2.5 + small)
    mixed = [math.ceil(unit * 2.5)] * big + [math.ceil(unit)] * small
    for copies in (1, 2):
        table = [i for i in range(big) for _ in range(copies)] + list(range(big, big + small))
        print("### %d servers at --max-clients %d (25 GbE) and %d at %d (10 GbE); each large one in %d row%s (%d rows)"
              % (big, mixed[0], small, mixed[-1], copies, "s" if copies > 1 else "", len(table)))
        print()
        balance_rows(players, table, mixed, [
            ("none", 0.0, None, b),
            ("spread", 0.0, None, b),
            ("none", 0.0, crash1, b),
        ], args)
    print("Slot use: seconds of slots held per server over its --max-clients, max over mean.")
    print("Sessions per slot: connections that got a slot per server over its --max-clients, max over mean.")
    print("Wait: from a player's start to its first slot. Ended: runs that ended with that error (each retried).")
    print("Crash: the server's process is gone (connections reset, connects refused at once) for 10 minutes.")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("what", nargs="?", default="all", choices=("capacity", "balance", "all"))
    parser.add_argument("--seed", type=int, default=20261208)
    parser.add_argument("--players", type=int, default=1000000)
    parser.add_argument("--patch-gb", type=float, default=2.0)
    parser.add_argument("--servers", type=int, default=19, help="rows of gamedata.xml (at most 19 are read)")
    parser.add_argument("--slots", default="auto", help="--max-clients of each row's server")
    parser.add_argument("--backlog", type=int, default=4096, help="listen backlog of each row's server")
    parser.add_argument("--retries", type=int, default=3)
    parser.add_argument("--scenario", default="B", choices=sorted(SCENARIOS))
    args = parser.parse_args()
    args.scenarios = sorted(SCENARIOS)
    if args.what in ("capacity", "all"):
        capacity(args)
        print()
    if args.what in ("balance", "all"):
        balance(args)


if __name__ == "__main__":
    main()
