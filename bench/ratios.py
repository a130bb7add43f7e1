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

TARGET_PEAK_KIB = 4 * 1024


def median(values):
    ordered = sorted(values)
    half = len(ordered) // 2
    return ordered[half] if len(ordered) % 2 else (ordered[half - 1] + ordered[half]) / 2


def p90(values):
    ordered = sorted(values)
    return ordered[max(0, math.ceil(0.9 * len(ordered)) - 1)]


def load(folder):
    rows = {}
    with open(os.path.join(folder, "rows"), encoding="utf-8") as lines:
        for line in lines:
            key, by, expect, label = line.rstrip("\n").split("\t")
            rows[key] = {"by": by, "expect": int(expect), "label": label, "times": []}
    for path in sorted(glob.glob(os.path.join(folder, "*.json"))):
        with open(path, encoding="utf-8") as data:
            for result in json.load(data)["results"]:
                row = rows[result["command"]]
                wrong = [c for c in result["exit_codes"] if c != row["expect"]]
                if wrong:
                    sys.exit(f"ratios.py: row {result['command']} exited {wrong[0]}")
                row["times"] += [t * 1000 for t in result["times"]]
    return rows


def read_pairs(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as lines:
        return [line.split() for line in lines if line.strip()]


def launch_table(rows, folder):
    base = median(rows["launcher"]["times"])
    net = {k: median(r["times"]) - base for k, r in rows.items() if not k.startswith("pool-")}
    floor = net["setpriv"]
    count = len(rows["setpriv"]["times"])
    print(f"Launches, {count} each (ms; net: less the launcher row's median {base:.3f}):\n")
    heading("", [("row", False), ("by", False), ("median", True), ("p90", True), ("net", True),
                 ("net × setpriv", True)])
    for key, row in rows.items():
        if key.startswith("pool-"):
            continue
        ratio = "" if key == "launcher" else f"{net[key] / floor:.2f}"
        print(f"| {row['label']} | {row['by']} | {median(row['times']):.3f} |"
              f" {p90(row['times']):.3f} | {net[key]:.3f} | {ratio} |")
        inside = [int(p[0]) / 1e6 for p in read_pairs(os.path.join(folder, key + ".times"))]
        if inside:
            what = "pam_permit" if key == "pam-permit" else "pam_unix yescrypt"
            print(f"| PAM transaction alone, {what}, inside its process | root |"
                  f" {median(inside):.3f} | {p90(inside):.3f} | | |")
            net[key + "-inside"] = median(inside)
    return net


def heading(title, columns):
    """A table's title (none when empty), its header row and its alignment row."""
    if title:
        print(f"\n{title}\n")
    print("| " + " | ".join(name for name, _ in columns) + " |")
    print("|" + "|".join("---:" if right else "---" for _, right in columns) + "|")


def rates(rows):
    found = {}
    for key, row in rows.items():
        if key.startswith("pool-"):
            requests = int(row["label"].rsplit(": ", 1)[1].split()[0])
            found[key[5:]] = median([requests / (t / 1000) for t in row["times"]])
    heading("Throughput (requests/s, median of the rounds):",
            [("row", False), ("requests/s", True), ("× setpriv", True)])
    for key, rate in found.items():
        print(f"| {rows['pool-' + key]['label']} | {rate:.1f} | {rate / found['setpriv']:.2f} |")
    return found


def memory(rows, folder):
    peaks = {k: int(v) for k, v in read_pairs(os.path.join(folder, "memory"))}
    for key in ("pam-unix", "pam-permit"):
        pairs = read_pairs(os.path.join(folder, key + ".times"))
        if pairs:
            peaks[key] = max(int(p[1]) for p in pairs)
    heading("Peak resident memory (VmHWM, largest of the readings):",
            [("program", False), ("MiB", True)])
    for key, kib in peaks.items():
        print(f"| {rows[key]['label']} | {kib / 1024:.2f} |")
    return peaks


def verdict(what, value, limit, at_most=True, unit="ms"):
    met = value <= limit if at_most else value >= limit
    sign = "≤" if at_most else "≥"
    print(f"| {what} | {value:.3f} {sign} {limit:.3f} {unit} | {'met' if met else 'missed'} |")


def targets(net, found, peaks):
    polling = net["dorq-polling"]
    heading("Targets (net medians):", [("target", False), ("this run", False), ("verdict", False)])
    verdict("dorq polling (pam_permit) ≤ 1.5 × setpriv", polling, 1.5 * net["setpriv"])
    verdict("dorq polling ≤ 0.8 × runuser (pam_permit)", polling, 0.8 * net["runuser-permit"])
    verdict("dorq polling ≤ 0.5 × sudo (pam_permit)", polling, 0.5 * net["sudo-permit"])
    verdict("polling within 1.1 × blocking", polling, 1.1 * net["dorq-blocking"])
    verdict("dorq with pam_unix ≤ 1.1 × (PAM check alone + setpriv)", net["dorq-unix"],
            1.1 * (net["pam-unix"] + net["setpriv"]))
    verdict("throughput ≥ 0.8 × setpriv's", found["dorq-polling"], 0.8 * found["setpriv"],
            False, "requests/s")
    for key in ("dorq-polling", "dorq-unix"):
        verdict(f"peak RSS ≤ 4 MiB, {key}", peaks.get(key, 0) / 1024, TARGET_PEAK_KIB / 1024,
                unit="MiB")


def readings(net):
    print("\nReadings (net ms):\n")
    print(f"- dorq's start over a do-nothing set-user-ID program (empty request):"
          f" {net['dorq-empty'] - net['null']:.3f}")
    print(f"- dorq (pam_permit, polling) over setpriv: {net['dorq-polling'] - net['setpriv']:.3f};"
          f" the PAM check alone with pam_permit: {net['pam-permit']:.3f} as a process,"
          f" {net['pam-permit-inside']:.3f} for the transaction inside it")


def alternative(rows, net, found, peaks):
    if "alt-polling" not in rows:
        return
    heading("The second build (--alt-dorq) against this one (net ms):",
            [("row", False), ("this build", True), ("second build", True), ("second / this", True)])
    for what in ("blocking", "polling", "unix", "empty"):
        this, alt = net["dorq-" + what], net["alt-" + what]
        print(f"| {rows['dorq-' + what]['label'][len('dorq, '):]} | {this:.3f} | {alt:.3f} | {alt / this:.3f} |")
    this, alt = found["dorq-polling"], found["alt-polling"]
    print(f"| throughput, requests/s | {this:.1f} | {alt:.1f} | {alt / this:.3f} |")
    for what in ("polling", "unix"):
        this, alt = peaks.get("dorq-" + what, 0) / 1024, peaks.get("alt-" + what, 0) / 1024
        print(f"| peak memory, {what}, MiB | {this:.2f} | {alt:.2f} | |")


FLOOR_TITLE = (
    "dorq's own work over the floor (ms). Floor: setpriv's net plus the median PAM transaction"
    " (pam_start to pam_end inside the PAM check's process, pam-*.times) of the row's PAM text;"
    " own work: dorq's net less the floor. The transaction holds no program start, so the floor"
    " counts one, the one in setpriv's net; nor libpam's loading, which the check's dynamic"
    " loader does before main, while dorq loads libpam at run time: that is in its own work.")


def own_work(rows, net, folder):
    """The floor table, every dorq row; returns own work by key (rows with a floor only)."""
    texts = dict(read_pairs(os.path.join(folder, "texts")))
    checks = {texts[k]: k for k in rows if k.startswith("pam-") and k in texts}
    heading(FLOOR_TITLE, [("row", False), ("dorq net", True), ("setpriv net", True),
                          ("PAM check", True), ("own work", True)])
    own = {}
    for key, row in rows.items():
        if not key.startswith(("dorq-", "alt-")):
            continue
        text = texts.get(key)
        check = checks.get(text)
        if text is None:
            pam, work = "PAM text not recorded (no texts file)", "no floor"
        elif text == "none":
            pam, work = "none: runs no PAM", "no floor"
        elif check is None:
            pam, work = f"no PAM check with this text ({text})", "no floor"
        else:
            own[key] = net[key] - net["setpriv"] - net[check + "-inside"]
            pam, work = f"{net[check + '-inside']:.3f}", f"{own[key]:.3f}"
        print(f"| {row['label']} | {net[key]:.3f} | {net['setpriv']:.3f} | {pam} | {work} |")
    return own


def own_work_builds(rows, own):
    """With --alt-dorq: each kind of dorq row's own work, this build's and the other's."""
    kinds = [k[len("alt-"):] for k in rows if k.startswith("alt-")]
    if not kinds:
        return
    heading("dorq's own work over the floor, this build and the other (--alt-dorq) (ms):",
            [("row", False), ("this build", True), ("other build", True), ("this − other", True)])
    for kind in kinds:
        label = rows["dorq-" + kind]["label"][len("dorq, "):]
        this, other = own.get("dorq-" + kind), own.get("alt-" + kind)
        if this is None or other is None:
            print(f"| {label} | no floor | no floor | |")
        else:
            print(f"| {label} | {this:.3f} | {other:.3f} | {this - other:+.3f} |")


def main():
    folder = sys.argv[1]
    rows = load(folder)
    net = launch_table(rows, folder)
    found = rates(rows)
    peaks = memory(rows, folder)
    targets(net, found, peaks)
    readings(net)
    alternative(rows, net, found, peaks)
    own_work_builds(rows, own_work(rows, net, folder))


if __name__ == "__main__":
    main()
