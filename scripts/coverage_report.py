#!/usr/bin/env python3
"""Line and branch coverage of the test suite, per layer, from a coverage build's gcov data.

Usage: coverage_report.py BUILD_DIR
Writes BUILD_DIR/report/index.html (per-file detail) and BUILD_DIR/report/summary.json, and prints
one line per layer (the src/ folders and apps/) with a total. Branches that only throw, and those the
compiler marks unreachable, are left out: every C++ call that may throw would otherwise count as a branch.
"""
import json
import os
import subprocess
import sys

LAYERS = ["base", "core", "host", "viewer", "support", "platform", "ui", "relay", "apps"]


def layer_of(path):
    parts = path.split("/")
    if parts[0] == "apps":
        return "apps"
    if parts[0] == "src" and len(parts) > 1 and parts[1] in LAYERS:
        return parts[1]
    return None


def percent(covered, total):
    return 100.0 * covered / total if total else 100.0


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: coverage_report.py BUILD_DIR")
    build = os.path.abspath(sys.argv[1])
    root = os.path.dirname(os.path.dirname(build))
    out = os.path.join(build, "report")
    os.makedirs(out, exist_ok=True)
    summary = os.path.join(out, "summary.json")
    subprocess.run(
        ["gcovr", "--root", root, "--object-directory", build, "-j", str(os.cpu_count() or 1),
         "--filter", os.path.join(root, "src") + "/", "--filter", os.path.join(root, "apps") + "/",
         "--exclude-throw-branches", "--exclude-unreachable-branches", "--gcov-ignore-parse-errors",
         "--json-summary-pretty", "--json-summary", summary,
         "--html-details", os.path.join(out, "index.html"), build],
        check=True)

    totals = {layer: [0, 0, 0, 0] for layer in LAYERS}
    for f in json.load(open(summary))["files"]:
        layer = layer_of(f["filename"])
        if layer is None:
            continue
        t = totals[layer]
        t[0] += f["line_covered"]
        t[1] += f["line_total"]
        t[2] += f["branch_covered"]
        t[3] += f["branch_total"]

    print(f"{'layer':10} {'lines':>16} {'line %':>7} {'branches':>16} {'branch %':>8}")
    grand = [0, 0, 0, 0]
    for layer in LAYERS:
        t = totals[layer]
        grand = [a + b for a, b in zip(grand, t)]
        print(f"{layer:10} {t[0]:>7}/{t[1]:<8} {percent(t[0], t[1]):6.1f}% {t[2]:>7}/{t[3]:<8} {percent(t[2], t[3]):7.1f}%")
    print(f"{'total':10} {grand[0]:>7}/{grand[1]:<8} {percent(grand[0], grand[1]):6.1f}% "
          f"{grand[2]:>7}/{grand[3]:<8} {percent(grand[2], grand[3]):7.1f}%")
    print(f"coverage: per-file report in {os.path.join(out, 'index.html')}")


if __name__ == "__main__":
    main()
