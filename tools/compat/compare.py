#!/usr/bin/env python3
"""Runs the cases through probe.exe (the Windows calls under Wine) and
compat-replay (names/), compares every read's bytes and the file after every
write, and prints the table. Exit status 1 when a difference is unexplained."""
import argparse
import os
import subprocess
import sys

BLANK_OR_QUOTE = b" \t\n\v\f\r\x1a\"'"

# Differences that are understood, by kind; README "Checked against Wine" gives the reasons.
EXPLAINED = {
    "layout": "Wine rewrites the whole file; both files read the same",
    "quoted": "a value that begins or ends with a blank or a quote is stored quoted",
    "cut": "Wine leaves a stale buffer byte where the 254-byte cut splits a character",
    "case": "Wine folds letter case only below U+0100",
}


def windows_path(path):
    """The path as Wine names it: the Unix root is drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run(command, cases, folder, windows=False):
    os.makedirs(folder, exist_ok=True)
    paths = [windows_path(cases), windows_path(folder)] if windows else [cases, folder]
    out = subprocess.run(command + paths, check=True, stdout=subprocess.PIPE).stdout
    results = {}
    for line in out.decode("latin-1").splitlines():
        name, index, kind, *rest = line.split("\t")
        results[(name, int(index))] = rest
    return results


def text(hex_bytes, limit=90):
    if hex_bytes in ("-", "0", "1"):
        return hex_bytes
    shown = repr(bytes.fromhex(hex_bytes).decode("gbk", "backslashreplace"))
    return shown if len(shown) <= limit else shown[:limit] + "...(%d bytes)" % (len(hex_bytes) // 2)


def has_wide_case(name):
    """True when the name holds a letter above U+00FF that has another case."""
    return any(ord(c) > 0xFF and c.lower() != c.upper() for c in name.decode("gbk", "replace"))


def unhex(field):
    return bytes.fromhex(field)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--cases", required=True)
    parser.add_argument("--work", required=True, help="folder for the case files")
    parser.add_argument("--probe", required=True, nargs="+", help="command that runs probe.exe")
    parser.add_argument("--replay", required=True)
    args = parser.parse_args()

    cases = []
    for line in open(args.cases, encoding="latin-1"):
        fields = line.rstrip("\n").split("\t")
        cases.append((fields[0], fields[1], fields[3:]))
    ours = run([args.replay], args.cases, os.path.join(args.work, "ours"))
    wine = run(args.probe, args.cases, os.path.join(args.work, "wine"), windows=True)

    # Wine's own form of both files after each write that differs: written by
    # Wine from the bytes each side left.
    layouts = []
    for name, _, ops in cases:
        for index, op in enumerate(ops):
            w, o = wine[(name, index)], ours[(name, index)]
            if op[0] == "W" and w != o and w[0] == o[0] == "1":
                for side, result in (("wine", w), ("ours", o)):
                    layouts.append("%s|%d|%s\tlayout\t%s\tN:%s" % (
                        name, index, side, result[1], b"\x01compat".hex()))
    norm_cases = os.path.join(args.work, "layout.txt")
    with open(norm_cases, "w", encoding="latin-1") as out:
        out.write("\n".join(layouts) + "\n")
    normal = run(args.probe, norm_cases, os.path.join(args.work, "layout"), windows=True)

    counts = {"agree": 0, "unexplained": 0}
    counts.update({kind: 0 for kind in EXPLAINED})
    report = []
    for name, kind, ops in cases:
        verdict = "agree"
        for index, op in enumerate(ops):
            w, o = wine[(name, index)], ours[(name, index)]
            if w == o:
                continue
            fields = op.split(":")
            found = None
            if op[0] == "W" and w[0] == o[0]:
                value = unhex(fields[3])
                if normal[("%s|%d|wine" % (name, index), 0)] == \
                        normal[("%s|%d|ours" % (name, index), 0)]:
                    found = "layout"
                elif value and (value[0] in BLANK_OR_QUOTE or value[-1] in BLANK_OR_QUOTE):
                    found = "quoted"
                elif has_wide_case(unhex(fields[1]) + unhex(fields[2])):
                    found = "case"
            elif op[0] == "R":
                wv, ov = unhex(w[0]), unhex(o[0])
                if len(wv) == 254 and len(ov) == 253 and wv.startswith(ov):
                    found = "cut"
                elif not wv and ov and has_wide_case(unhex(fields[1]) + unhex(fields[2])):
                    found = "case"
            verdict = found or "unexplained"
            report.append("  %-12s %s, op %d %s: wine %s | ours %s" % (
                verdict, name, index, op[0], " ".join(text(x) for x in w),
                " ".join(text(x) for x in o)))
            if found != "layout":
                break  # the two files now differ in content
        counts[verdict] += 1

    print("cases %d, agreeing %d, differing %d (explained %d, unexplained %d)" % (
        len(cases), counts["agree"], len(cases) - counts["agree"],
        len(cases) - counts["agree"] - counts["unexplained"], counts["unexplained"]))
    print("| difference | cases | why |\n|---|---|---|")
    for kind, why in EXPLAINED.items():
        print("| %s | %d | %s |" % (kind, counts[kind], why))
    print("| unexplained | %d | |" % counts["unexplained"])
    print("\n".join(report))
    return 1 if counts["unexplained"] + compare_mapping(args) else 0


# GBK mapping differences that are understood; README "Checked against Wine".
EXPLAINED_MAPPING = {
    "D ff": "a lone byte FF: ours U+F8F5 (ICU windows-936-2000, round trip), Wine invalid",
}


def compare_mapping(args):
    """Prints the differences of the two GBK mapping lists; returns how many are unexplained."""
    def listing(command):
        out = subprocess.run(command + ["map"], check=True, stdout=subprocess.PIPE).stdout
        return dict(line.rsplit(" ", 1) for line in out.decode("latin-1").splitlines())
    wine, ours = listing(args.probe), listing([args.replay])
    differing = sorted(key for key in wine.keys() | ours.keys() if wine.get(key) != ours.get(key))
    unexplained = [key for key in differing if key not in EXPLAINED_MAPPING]
    print("\nGBK mapping: %d code points and %d byte sequences, %d differing (unexplained %d)" % (
        sum(k.startswith("E") for k in wine), sum(k.startswith("D") for k in wine),
        len(differing), len(unexplained)))
    for key in differing:
        print("  %-11s %s: wine %s | ours %s  %s" % (
            "unexplained" if key in unexplained else "explained", key, wine.get(key),
            ours.get(key), EXPLAINED_MAPPING.get(key, "")))
    return len(unexplained)


if __name__ == "__main__":
    sys.exit(main())
