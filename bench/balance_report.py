#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""One scenario's table for bench/balance_bench.sh.

    balance_report.py SCENARIO_DIR "POLICY ..."

Reads each POLICY folder's sim.txt and util.tsv (balance_sim) and coord.json
(keld4-coordinator --json, under either balancer), prints one row per policy, and appends the same
figures as one JSON object a policy to SCENARIO_DIR/../results.jsonl.
"""
import json
import math
import os
import sys


def kv(path):
    out = {}
    with open(path) as f:
        for line in f:
            if "=" in line:
                k, v = line.strip().split("=", 1)
                out[k] = v
    return out


def weight_moves(path):
    """Writes and reversals per server from the coordinator's weight events."""
    writes, reversals, last_dir, per_server = 0, 0, {}, {}
    try:
        lines = open(path).read().splitlines()
    except FileNotFoundError:
        return None, None, None
    for line in lines:
        try:
            e = json.loads(line)
        except ValueError:
            continue
        if e.get("event") != "weight" or e.get("old") is None or e.get("new") is None:
            continue
        d = (e["new"] > e["old"]) - (e["new"] < e["old"])
        if d == 0:
            continue
        writes += 1
        s = e.get("server")
        per_server[s] = per_server.get(s, 0) + 1
        if last_dir.get(s, 0) == -d:
            reversals += 1
        last_dir[s] = d
    return writes, reversals, max(per_server.values(), default=0)


def settle(util_path, step_at, end, server, window=2.0):
    """Seconds from the step until the server stays within 10 points of the
    others' mean (2 s windows every 0.5 s) to the end, for 3 s at least; None
    if it never does."""
    rows = []
    for line in open(util_path):
        f = [float(x) for x in line.split()]
        rows.append(f)
    per = max(1, int(round(window / 0.5)))
    ok_since = None
    for k in range(per - 1, len(rows)):
        t = rows[k][0]
        if t <= step_at or t > end + 1e-6:
            continue
        chunk = rows[k - per + 1:k + 1]
        mine = sum(r[1 + server] for r in chunk) / per
        others = [sum(r[1 + i] for r in chunk) / per for i in range(len(rows[k]) - 1) if i != server]
        within = abs(mine - sum(others) / len(others)) <= 10
        if within and ok_since is None:
            ok_since = t
        elif not within:
            ok_since = None
    # Being within only in the last windows is not being back.
    if ok_since is None or end - ok_since < 3:
        return None
    return ok_since - step_at


def fmt_ms(v):
    v = float(v)
    if math.isinf(v):
        return "inf"
    return "%.0f" % v if v >= 100 else "%.1f" % v


def main():
    sc_dir, policies = sys.argv[1], sys.argv[2].split()
    head = open(os.path.join(sc_dir, "scenario")).read().split()
    name = head[0]
    meta = dict(w.split("=", 1) for w in head[1:] if "=" in w)
    print("\n%s: fleet %s (workers:speed), load %s %% (%s req/s), mode %s%s" % (
        name, meta["fleet"], meta["load"], meta["rate"], meta["mode"],
        "".join(" " + w for w in head[1:] if "=" not in w)))
    step = name == "step"
    cols = "%-9s %-35s %6s %5s %7s %7s %7s %7s %6s %5s" + (" %6s" if step else "") + " %5s"
    hdr = ["policy", "utilization % s0..s5", "spread", "CV", "p50", "p99", "p99.9", "failed",
           "writes", "rev"] + (["settle"] if step else []) + ["lag"]
    print(cols % tuple(hdr))
    results = open(os.path.join(sc_dir, "..", "results.jsonl"), "a")
    s = {}
    for pol in policies:
        d = os.path.join(sc_dir, pol)
        try:
            s = kv(os.path.join(d, "sim.txt"))
        except FileNotFoundError:
            out = open(os.path.join(d, "sim.out")).read().strip() if os.path.exists(
                os.path.join(d, "sim.out")) else ""
            print("%-9s no result: %s" % (pol, out[:200]))
            continue
        util = [float(x) for x in s["util"].split(",")]
        mean = sum(util) / len(util)
        sd = math.sqrt(sum((u - mean) ** 2 for u in util) / len(util))
        cv = sd / mean if mean > 0 else float("nan")
        spread = max(util) - min(util)
        writes, rev, most = weight_moves(os.path.join(d, "coord.json"))
        row = {"scenario": name, "policy": pol, "util": util, "spread": round(spread, 2),
               "cv": round(cv, 4), "p50_ms": float(s["p50_ms"]), "p99_ms": float(s["p99_ms"]),
               "p999_ms": float(s["p999_ms"]), "failed": int(s["failed"]),
               "requests": int(s["requests"]), "writes": writes, "reversals": rev,
               "most_writes_one_server": most,
               "lag_p99_ms": float(s["lag_p99_ms"]), "configured": int(s["configured"])}
        cells = [pol, " ".join("%5.1f" % u for u in util), "%.1f" % spread, "%.3f" % cv,
                 fmt_ms(s["p50_ms"]), fmt_ms(s["p99_ms"]), fmt_ms(s["p999_ms"]),
                 "%d" % int(s["failed"]), "-" if writes is None else "%d" % writes,
                 "-" if rev is None else "%d" % rev]
        if step:
            end = float(meta.get("end", "1e9"))
            t = settle(os.path.join(d, "util.tsv"), float(s["step_at"]), end, 5)
            row["settle_s"] = t
            cells.append("never" if t is None else "%.1f" % t)
        cells.append("%.1f" % float(s["lag_p99_ms"]))
        print(cols % tuple(cells))
        if pol.startswith("keld4") and int(s["configured"]) < len(util):
            print("          (only %s of %d agents configured by the coordinator)" % (
                s["configured"], len(util)))
        if float(s["lag_p99_ms"]) > 10:
            print("          (%s: the client ran late, p99 %.0f ms: the machine was too busy for "
                  "these latencies)" % (pol, float(s["lag_p99_ms"])))
        results.write(json.dumps(row, allow_nan=True) + "\n")
    results.close()
    # The coordinator's and the kernel's policies against the references, as
    # the targets are put: p99 as a multiple of plain leastconn's and of the
    # oracle's, and for the kernel also of its own static oracle.
    by = {r["policy"]: r for r in rows_of(os.path.join(sc_dir, "..", "results.jsonl"), name)}
    for pol in policies:
        r = by.get(pol)
        if r is None or not (pol.startswith("keld4") or pol.startswith("l4")):
            continue
        parts = []
        for ref in ("lc", "oracle") + (("l4-oracle",) if "l4" in pol else ()):
            if ref in by and ref != pol:
                a, b = r["p99_ms"], by[ref]["p99_ms"]
                if math.isinf(b) and not math.isinf(a):
                    # More than 1 % of the reference's requests failed.
                    parts.append("p99 %.0f against %s's inf" % (a, ref))
                else:
                    parts.append("p99 %s x %s's" % (ratio(a, b), ref))
        if r["writes"]:
            parts.append("reversals %.0f %% of writes" % (100.0 * r["reversals"] / r["writes"]))
        if parts:
            print("          %s: %s" % (pol, ", ".join(parts)))
    print("          (of %s requests a policy; latency in ms)" % s.get("requests", "?"))
    if os.environ.get("KELD4_BALANCE_CHECK") == "1":
        problems = check(os.path.join(sc_dir, "..", "results.jsonl"), name, policies)
        for p in problems:
            print("check failed: " + p)
        if problems:
            sys.exit(1)


def rows_of(path, name):
    """The latest row of each policy of scenario name."""
    rows = {}
    for line in open(path):
        r = json.loads(line)
        if r["scenario"] == name:
            rows[r["policy"]] = r
    return rows.values()


def ratio(a, b):
    if math.isinf(a) and math.isinf(b):
        return "?"
    if math.isinf(a):
        return "inf"
    return "%.2f" % (a / b) if b > 0 else "?"


def check(path, name, policies):
    """What a working harness must show whatever the law: a row per policy,
    every server busy, every agent configured and some weight written under
    the coordinator, no failed request with the oracle's weights."""
    rows = {r["policy"]: r for r in rows_of(path, name)}
    problems = []
    for pol in policies:
        r = rows.get(pol)
        if r is None:
            problems.append("%s: no result" % pol)
            continue
        if r["requests"] == 0 or min(r["util"]) < 10:
            problems.append("%s: servers idle %s" % (pol, r["util"]))
        if pol.startswith("keld4") and (r["configured"] != len(r["util"]) or not r["writes"]):
            problems.append("%s: %d agents configured, %s weight writes" % (
                pol, r["configured"], r["writes"]))
        if pol == "oracle" and r["failed"] != 0:
            problems.append("oracle: %d failed" % r["failed"])
    return problems


if __name__ == "__main__":
    main()
