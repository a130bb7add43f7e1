#!/usr/bin/env python3
"""The benchmark's tables, in Markdown, from what bench/run.sh leaves in one folder.

Usage: ratios.py DIR

DIR holds hyperfine's JSON (ROUND.KEY.json, merged per row over the rounds), `rows` (key, who
starts it, the exit status every run must have, label), `texts` (key, the name of the PAM text
its services hold, "none" when it runs no PAM), `memory` (key, peak KiB) and the PAM check's own
timings (pam-*.times: nanoseconds of the transaction, peak KiB). A row's net time is its median
less the launcher row's median (hyperfine's spawn, the launcher, its fork and a do-nothing
program), and every ratio is one of net times. Medians and p90 are by nearest rank.

dorq's own work is its net time less the floor: setpriv's net time plus the median PAM
transaction of the check with the row's PAM text.
"""
import glob
import json
import math
import os
import sys

OWN_WORK_MS = 0.35
PEAK_MIB = 3.0


def median(values):
    ordered = sorted(values)
    half = len(ordered) // 2
    return ordered[half] if len(ordered) % 2 else (ordered[half - 1] + ordered[half]) / 2


def p90(values):
    ordered = sorted(values)
    return ordered[max(0, math.ceil(0.9 * len(ordered)) - 1)]


def pairs(folder, name):
    path = os.path.join(folder, name)
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as lines:
        return [line.rstrip("\n").split("\t") if "\t" in line else line.split()
                for line in lines if line.strip()]


def load(folder):
    rows = {key: {"by": by, "expect": int(expect), "label": label, "times": []}
            for key, by, expect, label in pairs(folder, "rows")}
    for path in sorted(glob.glob(os.path.join(folder, "*.json"))):
        with open(path, encoding="utf-8") as data:
            for result in json.load(data)["results"]:
                row = rows[result["command"]]
                wrong = [c for c in result["exit_codes"] if c != row["expect"]]
                if wrong:
                    sys.exit(f"ratios.py: row {result['command']} exited {wrong[0]}")
                row["times"] += [t * 1000 for t in result["times"]]
    return rows


def heading(title, columns):
    """A table's title (none when empty), its header row and its alignment row."""
    if title:
        print(f"\n{title}\n")
    print("| " + " | ".join(name.lstrip(">") for name in columns) + " |")
    print("|" + "|".join("---:" if name.startswith(">") else "---" for name in columns) + "|")


def launch_table(rows, folder):
    base = median(rows["launcher"]["times"])
    net = {k: median(r["times"]) - base for k, r in rows.items() if not k.startswith("pool-")}
    heading(f"Launches, {len(rows['setpriv']['times'])} each (ms; net: less the launcher row's"
            f" median {base:.3f}):", ["row", "by", ">median", ">p90", ">net", ">net × setpriv"])
    for key, row in rows.items():
        if key.startswith("pool-"):
            continue
        ratio = "" if key == "launcher" else f"{net[key] / net['setpriv']:.2f}"
        print(f"| {row['label']} | {row['by']} | {median(row['times']):.3f} |"
              f" {p90(row['times']):.3f} | {net[key]:.3f} | {ratio} |")
        inside = [int(p[0]) / 1e6 for p in pairs(folder, key + ".times")]
        if inside:
            what = "pam_permit" if key == "pam-permit" else "pam_unix yescrypt"
            print(f"| PAM transaction alone, {what}, inside its process | root |"
                  f" {median(inside):.3f} | {p90(inside):.3f} | | |")
            net[key + "-inside"] = median(inside)
    return net


def rates(rows):
    found = {}
    for key, row in rows.items():
        if key.startswith("pool-"):
            requests = int(row["label"].rsplit(": ", 1)[1].split()[0])
            found[key[5:]] = median([requests / (t / 1000) for t in row["times"]])
    heading("Throughput (requests/s, median of the rounds):", ["row", ">requests/s", ">× setpriv"])
    for key, rate in found.items():
        print(f"| {rows['pool-' + key]['label']} | {rate:.1f} | {rate / found['setpriv']:.2f} |")
    return found


def memory(rows, folder):
    peaks = {k: int(v) / 1024 for k, v in pairs(folder, "memory")}
    for key in ("pam-unix", "pam-permit"):
        found = pairs(folder, key + ".times")
        if found:
            peaks[key] = max(int(p[1]) for p in found) / 1024
    heading("Peak resident memory (VmHWM, largest of the readings):", ["program", ">MiB"])
    for key, mib in peaks.items():
        print(f"| {rows[key]['label']} | {mib:.2f} |")
    return peaks


FLOOR_TITLE = (
    "dorq's own work over the floor (ms). Floor: setpriv's net plus the median PAM transaction"
    " (pam_start to pam_end inside the PAM check's process, pam-*.times) of the row's PAM text;"
    " own work: dorq's net less the floor. The transaction holds no program start, so the floor"
    " counts one, the one in setpriv's net; nor libpam's loading, which the check's dynamic"
    " loader does before main, while dorq loads libpam at run time: that is in its own work.")


def own_work(rows, net, folder):
    """The floor table, every dorq row; returns own work by key (rows with a floor only)."""
    texts = dict(pairs(folder, "texts"))
    checks = {texts[k]: k for k in rows if k.startswith("pam-") and k in texts}
    heading(FLOOR_TITLE, ["row", ">dorq net", ">setpriv net", ">PAM check", ">own work"])
    own = {}
    for key, row in rows.items():
        if not key.startswith(("dorq-", "alt-")):
            continue
        text = texts.get(key)
        check = checks.get(text)
        if text is None or text == "none" or check is None:
            pam = {None: "PAM text not recorded (no texts file)", "none": "none: runs no PAM"}.get(
                text, f"no PAM check with this text ({text})")
            work = "no floor"
        else:
            own[key] = net[key] - net["setpriv"] - net[check + "-inside"]
            pam, work = f"{net[check + '-inside']:.3f}", f"{own[key]:.3f}"
        print(f"| {row['label']} | {net[key]:.3f} | {net['setpriv']:.3f} | {pam} | {work} |")
    return own


def builds(rows, net, own, found, peaks):
    """With --alt-dorq: each kind of dorq row, this build against the other."""
    kinds = [k[len("alt-"):] for k in rows if k.startswith("alt-")]
    if not kinds:
        return
    heading("This build and the other (--alt-dorq) (ms):",
            ["row", ">net, this", ">net, other", ">own work, this", ">own work, other",
             ">own work, this − other"])
    for kind in kinds:
        this, other = own.get("dorq-" + kind), own.get("alt-" + kind)
        works = ("no floor", "no floor", "") if this is None or other is None else (
            f"{this:.3f}", f"{other:.3f}", f"{this - other:+.3f}")
        print(f"| {rows['dorq-' + kind]['label'][len('dorq, '):]} | {net['dorq-' + kind]:.3f} |"
              f" {net['alt-' + kind]:.3f} | " + " | ".join(works) + " |")
    print(f"| throughput, requests/s | {found['dorq-polling']:.1f} | {found['alt-polling']:.1f}"
          " | | | |")
    print(f"| peak memory, polling, MiB | {peaks.get('dorq-polling', 0):.2f} |"
          f" {peaks.get('alt-polling', 0):.2f} | | | |")


def verdict(what, value, limit, at_most=True, unit="ms"):
    met = value <= limit if at_most else value >= limit
    sign = "≤" if at_most else "≥"
    print(f"| {what} | {value:.3f} {sign} {limit:.3f} {unit} | {'met' if met else 'missed'} |")


def targets(net, own, found, peaks):
    heading("Targets:", ["target", "this run", "verdict"])
    for key in ("dorq-blocking", "dorq-polling"):
        if key in own:
            verdict(f"own work ≤ {OWN_WORK_MS} ms, {key}", own[key], OWN_WORK_MS)
    verdict("polling within 1.05 × blocking (net)", net["dorq-polling"],
            1.05 * net["dorq-blocking"])
    verdict("dorq with pam_unix ≤ 1.1 × (PAM check alone + setpriv) (net)", net["dorq-unix"],
            1.1 * (net["pam-unix"] + net["setpriv"]))
    verdict("throughput ≥ 0.8 × setpriv's", found["dorq-polling"], 0.8 * found["setpriv"],
            False, "requests/s")
    for key in ("dorq-blocking", "dorq-polling"):
        verdict(f"peak RSS ≤ {PEAK_MIB} MiB, {key}", peaks.get(key, 0), PEAK_MIB, unit="MiB")
    print(f"\ndorq's start over a do-nothing set-user-ID program (empty request):"
          f" {net['dorq-empty'] - net['null']:.3f} ms net")


def main():
    folder = sys.argv[1]
    rows = load(folder)
    net = launch_table(rows, folder)
    found = rates(rows)
    peaks = memory(rows, folder)
    own = own_work(rows, net, folder)
    builds(rows, net, own, found, peaks)
    targets(net, own, found, peaks)


if __name__ == "__main__":
    main()
