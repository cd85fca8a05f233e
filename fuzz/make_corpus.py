#!/usr/bin/env python3
"""Writes seed inputs for the mwld fuzz targets.

  fuzz/make_corpus.py              rebuilds fuzz/corpus/mwld from the test messages and the
                                   short inputs below
  fuzz/make_corpus.py OUT FILE...  writes the cuts and forms of the messages in FILE... into OUT

Each message is cut after every segment, and each cut is written with CR, LF and CR LF
segment ends and as an MLLP frame. Files named found-* are inputs a fuzz target found failing,
kept as found; a rebuild leaves them in place.
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
SEEDS = ROOT / "fuzz" / "corpus" / "mwld"

GOOD_MSH = b"MSH|^~\\&|RIS|SITE|MWL|SITE|20260101120000||ORM^O01|C1|P|2.5"
GOOD_BODY = b"PID|1||P1||DOE^JANE\rORC|NW|PL1|FL1\rOBR|1|PL1|FL1|CT1^CT HEAD\r"
GOOD = GOOD_MSH + b"\r" + GOOD_BODY


def order_numbered(number):
    return GOOD.replace(b"PL1|FL1", b"PL1|" + number)


def msh_field_set(number, value):
    """GOOD with MSH-`number` set to `value`."""
    fields = GOOD_MSH.split(b"|")  # MSH-1 is the first "|", so MSH-n is fields[n - 1]
    fields += [b""] * (number - len(fields))
    fields[number - 1] = value
    return b"|".join(fields) + b"\r" + GOOD_BODY


# The fields an acknowledgement echoes, each holding a control byte.
CONTROL_IN_MSH = {
    2: b"^~\\&\x01",
    3: b"RIS\x00",
    4: b"SITE\x0b",
    5: b"MWL\x00",
    6: b"SITE\x07",
    9: b"ORM^O01\x00",
    10: b"C\x001",
    11: b"P\x1c",
    12: b"2.5\x00",
    18: b"8859/1\x0c",
}


# Inputs that ended hl7mwld or that bent its answers, each kept with a name saying what it is.
SHORT_INPUTS = {
    "msh-1c": b"MSH\x1c",
    "msh-1c-cr": b"MSH\x1c\r",
    "good-then-msh": GOOD + b"MSH",
    "bom-msh": b"\xef\xbb\xbfMSH",
    "long-frame-msh-cr": b"MSH\r" + b"OBR|1|||X|A\r" * 25,
    "msh18-1c-then-field": GOOD_MSH + b"||||||X\x1c|Z\r" + GOOD_BODY,
    "msh12-1c": GOOD_MSH + b"\x1c\r" + GOOD_BODY,
    "order-number-x00": order_numbered(b"A\\X00\\B"),
    "order-number-x0d": order_numbered(b"A\\X0D\\B"),
    "order-number-blank": order_numbered(b"A B"),
    **{f"control-in-msh{n}": msh_field_set(n, value) for n, value in CONTROL_IN_MSH.items()},
}


def framed(content):
    return b"\x0b" + content + b"\x1c\r"


def cuts(message):
    """The message cut after each of its segments, each cut in four forms."""
    segments = [s for s in re.split(rb"\r\n|\r|\n", message) if s]
    for count in range(1, len(segments) + 1):
        kept = segments[:count]
        name = f"cut{count}of{len(segments)}"
        yield f"{name}.cr", b"".join(s + b"\r" for s in kept)
        yield f"{name}.lf", b"".join(s + b"\n" for s in kept)
        yield f"{name}.crlf", b"".join(s + b"\r\n" for s in kept)
        yield f"{name}.mllp", framed(b"".join(s + b"\r" for s in kept))


def write(folder, inputs):
    folder.mkdir(parents=True, exist_ok=True)
    seen = set()
    for name, content in inputs:
        if content in seen:
            continue
        seen.add(content)
        (folder / name).write_bytes(content)


def cuts_of_files(files):
    for path in files:
        for name, content in cuts(path.read_bytes()):
            yield f"{path.stem}.{name}", content


def seed_inputs():
    for name, content in SHORT_INPUTS.items():
        yield name, content
        yield f"{name}.mllp", framed(content)
    data = ROOT / "tests" / "data"
    yield from cuts_of_files(sorted(data.glob("*.hl7")) + sorted((data / "mwld").iterdir()))


def main(arguments):
    if not arguments:
        for old in SEEDS.glob("*"):
            if not old.name.startswith("found-"):
                old.unlink()
        write(SEEDS, seed_inputs())
    else:
        write(pathlib.Path(arguments[0]), cuts_of_files(pathlib.Path(a) for a in arguments[1:]))


if __name__ == "__main__":
    main(sys.argv[1:])
