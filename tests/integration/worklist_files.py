"""A worklist file as two independent readers see it: DCMTK's dcmdump and pydicom.

Both readers give the same shape, a dict {tag path: (VR, value)} and a dict {tag path:
multiplicity}, so a test can assert that they show the same elements and values. A path is
"(0010,0010)" at the top and "(0040,0100)[0]/(0008,0060)" inside the first item of a sequence;
file meta elements are included. A value is the element's bytes without their padding (trailing blanks, and NULs in
UI), the text of a binary value as dcmdump prints it (UL as a number, OB as hex bytes joined
by "\\"), and for a sequence its number of items.
"""
import re
import warnings

import pydicom
from pydicom.dataelem import RawDataElement

from harness import run

# dcmdump +L -Un +Qn: "(gggg,eeee) VR value   # length, multiplicity Keyword", indented two
# blanks per sequence level. +Qn quotes non-ASCII and control bytes as &#n; and &<>"' as XML
# entities, so a line holds exactly one element whatever its bytes. Without -q, dcmdump warns
# on standard error about what it repairs while reading, such as elements out of tag order
# (which it prints sorted).
DCMDUMP_LINE = re.compile(r"^( *)\(([0-9a-f]{4},[0-9a-f]{4})\) (\w\w) (.*) +# +(\d+), (\d+) \S+$")
ITEM_COUNT = re.compile(r"^\(Sequence with (?:explicit|undefined) length #=(\d+)\)$")
QUOTED = re.compile(r"&#(\d+);|&(amp|lt|gt|quot|apos);")
ENTITIES = {"amp": b"&", "lt": b"<", "gt": b">", "quot": b'"', "apos": b"'"}
# What pydicom only warns about when it decodes text: undecodable bytes, unknown character sets.
CHARACTER_SET_WARNINGS = (r"Failed to decode|Unknown encoding|Incorrect value for Specific "
                          r"Character Set|Found unknown escape sequence")
TEXT_VRS = {"AE", "AS", "CS", "DA", "DS", "DT", "IS", "LO", "LT", "PN", "SH", "ST", "TM",
            "UC", "UR", "UT"}


def unquote(text):
    """The bytes dcmdump's +Qn output stands for (html.unescape would map &#128;-&#159; to
    Windows-1252 characters)."""
    out, end = bytearray(), 0
    for match in QUOTED.finditer(text):
        out += text[end:match.start()].encode("ascii")
        out += bytes([int(match[1])]) if match[1] else ENTITIES[match[2]]
        end = match.end()
    return bytes(out + text[end:].encode("ascii"))


def dcmdump_lines(path):
    """The elements of the file as dcmdump prints them: [(tag path, VR, value, multiplicity,
    length)]. RuntimeError when dcmdump reports any error or warning."""
    result = run(["dcmdump", "+L", "-Un", "+Qn", path])
    if result.returncode != 0 or result.stderr:
        raise RuntimeError(f"dcmdump {path}: status {result.returncode}: {result.stderr!r}")
    lines = []
    prefixes = {0: ""}  # indentation level -> path prefix of the elements at that level
    sequences = {}  # indentation level -> path of the last sequence opened at that level
    counts = {}  # path of a sequence -> its items seen so far
    for line in result.stdout.decode("ascii").splitlines():
        match = DCMDUMP_LINE.match(line)
        if not match:
            continue
        indent, tag, vr, value, length, multiplicity = match.groups()
        level, value = len(indent) // 2, value.rstrip()
        if tag == "fffe,e000":  # an item of the sequence one level up
            sequence = sequences[level - 1]
            prefixes[level + 1] = f"{sequence}[{counts[sequence]}]/"
            counts[sequence] += 1
            continue
        if tag.startswith("fffe,"):  # item and sequence delimiters
            continue
        path = prefixes[level] + f"({tag})"
        if vr == "SQ":
            items = ITEM_COUNT.match(value)
            if not items:
                raise RuntimeError(f"dcmdump {path}: unexpected sequence line {line!r}")
            value = int(items[1])
            sequences[level], counts[path] = path, 0
        elif value == "(no value available)":
            value = b""
        elif value.startswith("[") and value.endswith("]"):
            value = unquote(value[1:-1])
        else:
            value = value.encode("ascii")
        lines.append((path, vr, value, int(multiplicity), int(length)))
    return lines


def layout_problems(path):
    """What in the file's layout breaks the rules of a DICOM file: a preamble other than 128
    zero bytes before "DICM", a value of odd length. (Elements out of tag order make dcmdump
    warn, so dcmdump_lines raises.)"""
    problems = []
    with open(path, "rb") as f:
        head = f.read(132)
    if head[:128] != bytes(128) or head[128:] != b"DICM":
        problems.append("no 128-byte zero preamble and DICM")
    for element_path, _, _, _, length in dcmdump_lines(path):
        if length % 2:
            problems.append(f"{element_path}: odd length {length}")
    return problems


def raw_value(element):
    """The value of a pydicom element as dcmdump shows it (see the module's note)."""
    if isinstance(element, RawDataElement):
        value = element.value or b""
        if element.VR == "UI":
            return value.rstrip(b"\0")
        if element.VR in TEXT_VRS:
            return value.rstrip(b" ")
        if element.VR == "OB":
            return "\\".join(f"{b:02x}" for b in value).encode("ascii")
        if element.VR == "UL":
            return "\\".join(str(int.from_bytes(value[i:i + 4], "little"))
                             for i in range(0, len(value), 4)).encode("ascii")
        raise RuntimeError(f"no raw form for VR {element.VR}")
    # pydicom decodes some meta elements while it reads them, and an empty number as None.
    if element.value is None:
        return b""
    if element.VR == "OB":
        return "\\".join(f"{b:02x}" for b in element.value).encode("ascii")
    return str(element.value).encode("ascii")


def add_pydicom_elements(elements, multiplicities, prefix, dataset, decoded):
    for tag in sorted(dataset.keys()):
        element = dataset.get_item(tag)
        path = f"{prefix}({tag.group:04x},{tag.element:04x})"
        if element.VR == "SQ":
            items = dataset[tag].value
            decoded_items = decoded[tag].value
            elements[path] = ("SQ", len(items))
            multiplicities[path] = 1
            for index, item in enumerate(items):
                add_pydicom_elements(elements, multiplicities, f"{path}[{index}]/", item,
                                     decoded_items[index])
        else:
            elements[path] = (element.VR, raw_value(element))
            multiplicities[path] = decoded[tag].VM


def pydicom_elements(path):
    """{tag path: (VR, value)} of the file as pydicom reads it, and {tag path: multiplicity}."""
    dataset = pydicom.dcmread(path)  # kept undecoded: its elements give their raw bytes
    decoded = pydicom.dcmread(path)
    elements, multiplicities = {}, {}
    add_pydicom_elements(elements, multiplicities, "", dataset.file_meta, decoded.file_meta)
    add_pydicom_elements(elements, multiplicities, "", dataset, decoded)
    return elements, multiplicities


def reader_differences(path):
    """What dcmdump and pydicom show differently of the file, one text per element; empty when
    both show the same elements, values and multiplicities."""
    lines = dcmdump_lines(path)
    dump = {p: (vr, value) for p, vr, value, _, _ in lines}
    dump_vm = {p: multiplicity for p, _, _, multiplicity, _ in lines}
    read, read_vm = pydicom_elements(path)
    differences = []
    for key in sorted(set(dump) | set(read)):
        if dump.get(key) != read.get(key) or dump_vm.get(key) != read_vm.get(key):
            differences.append(f"{key}: dcmdump {dump.get(key)} x{dump_vm.get(key)}, "
                               f"pydicom {read.get(key)} x{read_vm.get(key)}")
    return differences


def decoded_values(dataset):
    """{keyword: value} of a data set, values decoded with its Specific Character Set: text as
    str (several values joined by "\\", no value as ""), a sequence as a list of such dicts.
    ValueError for a value that does not decode (pydicom would only warn and put replacement
    characters in); values longer than their VR allows are read as they are."""
    values = {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # lengths: the program keeps long identifiers whole
        warnings.filterwarnings("error", message=CHARACTER_SET_WARNINGS)
        for tag in dataset.keys():
            try:
                element = dataset[tag]
                value = element.value
                if element.VR != "SQ" and value is not None:
                    value = ("\\".join(str(v) for v in value) if element.VM > 1
                             else str(value))
            except UserWarning as warning:
                raise ValueError(f"{tag}: {warning}") from None
            key = element.keyword or str(element.tag)
            if element.VR == "SQ":
                values[key] = [decoded_values(item) for item in value]
            else:
                values[key] = "" if value is None else value
    return values
