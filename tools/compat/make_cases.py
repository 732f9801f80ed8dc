#!/usr/bin/env python3
"""Writes the case list that probe.exe and compat-replay both run (the format is
described in replay.cpp): the rows of the read/write table of
tests/names/test_name_file.cpp, then generated files and operations, seeded."""
import argparse
import random

TRAIL_A, TRAIL_OPEN, TRAIL_CLOSE = b"\xb0\x41", b"\xb0\x5b", b"\xb0\x5d"


def gbk(text):
    return text.encode("gbk")


def table_rows():
    """(name, file, section, key, value, after): a read, or with after a write then a read."""
    rows = [
        ("letter case", b"[SeC]\r\nKeY=v\r\n", "sEc", "kEy", "v"),
        ("Greek letter case, decoded", gbk("[Α]\r\nΒ=v\r\n"), "α", "β", "v"),
        ("trail bytes A and a differ", b"[s]\r\n" + TRAIL_A + b"=v\r\n", "s", "癮", ""),
        ("trail byte ], name to last ]", b"[a" + TRAIL_CLOSE + b"]b]\r\nk=v", "a癩]b", "k", "v"),
        ("trail byte [ opens a key", b"[s]\r\n" + TRAIL_OPEN + b"=v\r\n", "s", "癧", "v"),
        ("blanks trimmed", b" \t[ \vs\f ]\x1a \r\n\x1a k \t=\t v v \x1a\r\n", "s", "k", "v v"),
        ("U+3000 kept", gbk("[\u3000s]\n[s]\n\u3000k=1\nk=\u3000v\u3000"), "s", "k",
         "\u3000v\u3000"),
        ("double quotes", b"[s]\r\nk= \" v \" \r\n", "s", "k", " v "),
        ("one pair of single quotes", b"[s]\r\nk='\"v\"'\r\n", "s", "k", "\"v\""),
        ("unmatched quotes kept", b"[s]\r\nk=\"v'\r\n", "s", "k", "\"v'"),
        ("first section wins, missing key", b"[s]\r\na=1\r\n[S]\r\nk=2\r\n", "s", "k", ""),
        ("first key wins", b"[s]\r\nk=1\r\nK=2\r\n", "s", "k", "1"),
        ("no =, a key without a value", b"[s]\r\nk\r\nk=2\r\n", "s", "k", ""),
        ("write: a key without a value", b"[s]\r\nk \r\nk=2\r\n", "s", "k", "v",
         b"[s]\r\nk =v\r\nk=2\r\n"),
        ("CR, LF, CR LF line ends", b"x=1\r[s]\nk=v\r\nj=2", "s", "k", "v"),
        ("cut to 254 bytes", b"[s]\r\nk=" + b"a" * 300, "s", "k", "a" * 254),
        ("never inside a character", gbk("[s]\nk=a" + "中" * 200), "s", "k", "a" + "中" * 126),
        ("missing section", b"[s]\r\nk=v\r\n", "t", "k", ""),
        ("write: other bytes kept", b"; c\r\n[s]\n k = old\n\n x\r[t]\r\nk=1", "s", "k", "new",
         b"; c\r\n[s]\n k =new\r\n\n x\r[t]\r\nk=1"),
        ("write: after last non-blank", b"[s]\na=1\r;c\n\n[s]\n", "S", "k", "v",
         b"[s]\na=1\r;c\nk=v\r\n\n[s]\n"),
        ("write: new section", b"[s]\r\na=1", "t", "k", "v", b"[s]\r\na=1\r\n[t]\r\nk=v\r\n"),
        ("write: names decoded", b"[s]\n" + TRAIL_A + b"=1\n", "s", "癮", "2",
         b"[s]\n" + TRAIL_A + b"=1\n\xb0\x61=2\r\n"),
        ("write: blanks quoted", b"[s]\r\nk=1\r\n", "s", "k", " v\t", b"[s]\r\nk=\" v\t\"\r\n"),
        ("write: quotes quoted", b"[s]\r\nk=1\r\n", "s", "k", "'v'", b"[s]\r\nk=\"'v'\"\r\n"),
    ]
    for name, file, section, key, value, *after in rows:
        ops = [read(section, key)]
        if after:
            ops.insert(0, write(section, key, value))
        yield "table " + name, "table", file, ops


def read(section, key):
    return "R:%s:%s" % (gbk(section).hex(), gbk(key).hex())


def write(section, key, value):
    return "W:%s:%s:%s" % (gbk(section).hex(), gbk(key).hex(), gbk(value).hex())


NAMES = ["s", "S", "Sec", "sEC", "地址码1", "地址码01", "软件属性", "名称", "第3路名称", "癮", "癩",
         "Α", "α", "a b", "k", "K", "key", "KEY"]
VALUES = ["v", "水泵", "第1路", "a=b", "[x]", "\"q\"", "'q'", "\"q'", " v", "v ", "\tv", "",
          "中" * 130, "a" * 300, "x;y", "癩]", "\u3000v", "é", "Ω"]
BLANKS = ["", "", "", " ", "\t", " \t", "\x1a"]
ENDINGS = ["\r\n", "\n", "\r"]


def decorate(rng, name):
    """The name as another file might spell it: other letter case, blanks around."""
    if rng.random() < 0.3:
        name = name.swapcase()
    return rng.choice(BLANKS) + name + rng.choice(BLANKS)


def random_file(rng):
    style = rng.random()
    lines = []
    for _ in range(rng.randint(0, 12)):
        pick = rng.random()
        if pick < 0.25:
            lines.append(decorate(rng, "[" + decorate(rng, rng.choice(NAMES)) + "]"))
        elif pick < 0.7:
            value = rng.choice(VALUES)
            lines.append(decorate(rng, rng.choice(NAMES)) + "=" + rng.choice(BLANKS) + value)
        elif pick < 0.8:
            lines.append(";" + rng.choice(VALUES))
        elif pick < 0.9:
            lines.append(rng.choice(BLANKS))
        else:
            lines.append(rng.choice(NAMES))
    text = ""
    for line in lines:
        ending = ENDINGS[int(style * 3)] if style < 0.9 else rng.choice(ENDINGS)
        text += line + ending
    if text and rng.random() < 0.3:
        text = text.rstrip("\r\n")
    return gbk(text)


def random_case(rng, number):
    ops = []
    for _ in range(rng.randint(1, 4)):
        section, key = decorate(rng, rng.choice(NAMES)), decorate(rng, rng.choice(NAMES))
        if rng.random() < 0.45:
            ops.append(write(section, key, rng.choice(VALUES)))
        ops.append(read(section, key))
    file = random_file(rng) if rng.random() < 0.95 else None
    return "gen %d" % number, "generated", file, ops


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--seed", type=int, default=936)
    parser.add_argument("--count", type=int, default=600)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    cases = list(table_rows())
    cases.append(("missing file", "missing", None, [read("s", "k"), write("s", "k", "v"),
                                                    read("s", "k")]))
    cases += [random_case(rng, n) for n in range(args.count)]
    for name, kind, file, ops in cases:
        print("\t".join([name, kind, "-" if file is None else file.hex()] + ops))


if __name__ == "__main__":
    main()
