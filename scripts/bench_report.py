#!/usr/bin/env python3
"""Runs every benchmark executable in a folder and reports each figure beside its reference.

A Google Benchmark names its reference in its label: "ref=<other benchmark>[,<another>] [metric=time|cpu]"
(several references give one figure each). Throughputs
(MB/s, higher is better) are used when the benchmark counts bytes, unless metric=time asks for the time per
iteration (ns, lower is better), or metric=cpu for the CPU time per iteration (steadier on a busy machine).
Benchmarks may also publish custom counters as figures of their own with a label "figure=<counter> ref=<counter> unit=<unit> better=<higher|lower|equal>" (both counters in one benchmark;
"equal" means a ratio near 1 is best). One label may hold several such groups, separated by ";".
Writes a JSON array of {name, value, unit, reference, reference_value, ratio, better} and prints a table.
"""
import json
import os
import subprocess
import sys
import tempfile


def label_fields(label):
    fields = {}
    for part in (label or "").split():
        if "=" in part:
            k, v = part.split("=", 1)
            fields[k] = v
    return fields


def metric(bench, time_metric):
    if not time_metric and "bytes_per_second" in bench:
        return bench["bytes_per_second"] / 1e6, "MB/s", "higher"
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[bench.get("time_unit", "ns")]
    return bench["cpu_time" if time_metric == "cpu" else "real_time"] * scale, "ns", "lower"


def run(executable):
    # Results go to a file and the console shows progress. Waiting on the process alone, not on pipes,
    # means a helper it started (a server, a compositor) that outlives it cannot stall the report.
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        subprocess.run([executable, f"--benchmark_out={out.name}", "--benchmark_out_format=json"], check=True)
        return json.load(open(out.name))["benchmarks"]


def records_of(benchmarks):
    by_name = {b["name"]: b for b in benchmarks}
    records = []
    for b in benchmarks:
        for group in (b.get("label") or "").split(";"):
            f = label_fields(group)
            if "figure" in f:
                value, reference_value = b[f["figure"]], b[f["ref"]]
                records.append((f["figure"], value, f.get("unit", ""), f["ref"], reference_value,
                                f.get("better", "lower")))
            elif "ref" in f:
                time_metric = f.get("metric") if f.get("metric") in ("time", "cpu") else None
                for ref_name in f["ref"].split(","):
                    ref = by_name.get(ref_name)
                    if ref is None:
                        raise SystemExit(f"{b['name']}: reference {ref_name} did not run")
                    value, unit, better = metric(b, time_metric)
                    reference_value, _, _ = metric(ref, time_metric)
                    records.append((b["name"], value, unit, ref_name, reference_value, better))
    return [
        {"name": n, "value": round(v, 3), "unit": u, "reference": r, "reference_value": round(rv, 3),
         "ratio": round(v / rv, 4) if rv else None, "better": bt}
        for n, v, u, r, rv, bt in records
    ]


def main():
    folder, output = sys.argv[1], sys.argv[2]
    executables = sorted(
        os.path.join(folder, f) for f in os.listdir(folder)
        if os.access(os.path.join(folder, f), os.X_OK) and os.path.isfile(os.path.join(folder, f)))
    results = []
    for exe in executables:
        print(f"running {os.path.basename(exe)} ...", flush=True)
        results += records_of(run(exe))
    with open(output, "w") as f:
        json.dump(results, f, indent=1, ensure_ascii=False)
    width = max([len(r["name"]) for r in results] + [4])
    print(f"\n{'name':<{width}}  {'value':>14}  {'reference':>14}  {'ratio':>8}  better  (reference)")
    for r in results:
        ratio = "-" if r["ratio"] is None else f"{r['ratio']:.3f}"
        print(f"{r['name']:<{width}}  {r['value']:>10.3f} {r['unit']:<4}{r['reference_value']:>10.3f} "
              f"{r['unit']:<4}{ratio:>8}  {r['better']:<6}  ({r['reference']})")
    print(f"\nwrote {output}")


if __name__ == "__main__":
    main()
