#!/usr/bin/env python3
"""End-to-end cases: runs the real hl7mwld per row and compares status, output and the folder.

Usage: mwld_cases.py --program PATH --data DIR [--emulator CMD]

Each case runs in a new empty folder holding the files it names, and must leave exactly the
files it lists there. Standard output lines are tab-separated: file, message number, control
ID or "-", outcome, entry file name or "-", then the reason when there is one.
"""
import collections
import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import harness  # noqa: E402

ORDER = "order.hl7"  # the worked example of the data folder, with LF line ends
ENTRY = "hl7mwld-FL0001__RP0001__SPS0001.wl"  # its filler number, RP ID and SPS ID
CANCEL = (b"MSH|^~\\&|RIS|SITE|MWL|SITE|202001011300||ORM^O01|MSG0002|P|2.3\r"
          b"ORC|CA|PL0001|FL0001\r")
REJECTED = (b"MSH|^~\\&|RIS|SITE|MWL|SITE|202001011200||ORM^O01|MSG0003|P|2.3\r"
            b"PID|1||^^^SITE||PATIENT^TEST\r"
            b"ORC|NW|PL0003|FL0003\r"
            b"OBR|1|PL0003|FL0003|CT01^CT HEAD\r")
# A study UID of its own, so every value shown comes from the message or the command line.
SHOWN = (b"MSH|^~\\&|RIS|SITE|MWL|SITE|20240301120000||ORM^O01|MSG0004|P|2.3||||||UNICODE UTF-8\r\n"
         b"PID|1||P100^^^HOSP||Doe^John||19700101|M\r\n"
         b"ORC|NW|pl-4|fl-4\r\n"
         b"OBR|1|pl-4|fl-4|CT1^CT Head^L||||||||||||||ACC4|RP4|SPS4||||CT\r\n"
         b"ZDS|1.2.826.0.1.4^100^Application^DICOM\r\n")
THREE = (b"MSH|^~\\&|RIS|SITE|MWL|SITE|202001011200||ORM^O01|MSG0007|P|2.3\r"
         b"PID|1||P7||PATIENT^TEST\rORC|NW|PL7|FL7\r" + b"OBR|1|PL7|FL7|CT01^CT HEAD\r" * 3)
SHOWN_ENTRY = "hl7mwld-_66_6C-4__RP4__SPS4.wl"
# A site's profile: the Patient ID by its identifier type, the sender's XR as DX, its station.
PROFILE = (b'[sources]\nPatientID = ["PID-3[type=MR]", "PID-3"]\n'
           b'[modality]\nXR = "DX"\n[station_aet]\nDX = "DX01"\n"*" = "OTHER"\n'
           b'[options]\ncharset = "utf8"\n')
LATIN1_XR = (b"MSH|^~\\&|RIS|SITE|MWL|SITE|20240301120000||ORM^O01|MSG0008|P|2.3||||||8859/1\r"
             b"PID|1||X9^^^H^PI~M\xdc8^^^H^MR||M\xdcLLER^J\r"
             b"ORC|NW|PL8|FL8\rOBR|1|PL8|FL8|XR1^Chest||||||||||||||ACC8|RP8|SPS8||||XR\r")
# A second procedure of the worked example's order, named by its Accession Number (OBR-18).
SECOND_OBR, SECOND_ENTRY = b"OBR|2||FL0001|X" + b"|" * 14 + b"A2\n", "hl7mwld-FL0001__A2_5F2__A2_5F2.wl"
# An empty value still ends its line with the blank before it (written \x20).
SHOWN_ELEMENTS = """\
  (0008,0005) CS SpecificCharacterSet ISO_IR 192
  (0008,0050) SH AccessionNumber ACC4
  (0008,0090) PN ReferringPhysicianName\x20
  (0008,1110) SQ ReferencedStudySequence
  (0008,1120) SQ ReferencedPatientSequence
  (0010,0010) PN PatientName Doe^John
  (0010,0020) LO PatientID P100
  (0010,0021) LO IssuerOfPatientID HOSP
  (0010,0030) DA PatientBirthDate 19700101
  (0010,0040) CS PatientSex M
  (0010,1030) DS PatientWeight\x20
  (0010,2000) LO MedicalAlerts\x20
  (0010,2110) LO Allergies\x20
  (0010,21c0) US PregnancyStatus\x20
  (0020,000d) UI StudyInstanceUID 1.2.826.0.1.4
  (0032,1060) LO RequestedProcedureDescription CT Head
  (0032,1064) SQ RequestedProcedureCodeSequence
    (0008,0100) SH CodeValue CT1
    (0008,0102) SH CodingSchemeDesignator L
    (0008,0104) LO CodeMeaning CT Head
  (0032,1032) PN RequestingPhysician\x20
  (0038,0010) LO AdmissionID\x20
  (0038,0050) LO SpecialNeeds\x20
  (0038,0300) LO CurrentPatientLocation\x20
  (0038,0500) LO PatientState\x20
  (0040,1001) SH RequestedProcedureID RP4
  (0040,1002) LO ReasonForTheRequestedProcedure\x20
  (0040,1004) LO PatientTransportArrangements\x20
  (0040,2016) LO PlacerOrderNumberImagingServiceRequest pl-4
  (0040,2017) LO FillerOrderNumberImagingServiceRequest fl-4
  (0040,3001) LO ConfidentialityConstraintOnPatientDataDescription\x20
  (0040,0100) SQ ScheduledProcedureStepSequence
    (0040,0001) AE ScheduledStationAETitle CT01
    (0040,0002) DA ScheduledProcedureStepStartDate 20240301
    (0040,0003) TM ScheduledProcedureStepStartTime 120000
    (0008,0060) CS Modality CT
    (0040,0006) PN ScheduledPerformingPhysicianName\x20
    (0040,0007) LO ScheduledProcedureStepDescription CT Head
    (0040,0009) SH ScheduledProcedureStepID SPS4
    (0040,0010) SH ScheduledStationName\x20
    (0040,0011) SH ScheduledProcedureStepLocation\x20
    (0040,0020) CS ScheduledProcedureStepStatus SCHEDULED
"""


def dated(n, start, patient=b"P1", status=b"", charset=b"", name=b"PATIENT^TEST"):
    """An order of one procedure, its numbers PLn, FLn, ACCn, RPn and SPSn, starting at `start`
    (OBR-27.4); ORC-5 `status`; MSH-18 `charset`."""
    n = str(n).encode()
    return (b"MSH|^~\\&|RIS|SITE|MWL|SITE|20240301120000||ORM^O01|M" + n + b"|P|2.3||||||" +
            charset + b"\rPID|1||" + patient + b"||" + name + b"\rORC|NW|PL" + n + b"|FL" + n +
            b"||" + status + b"\rOBR|1|PL" + n + b"|FL" + n + b"|CT1^CT Head" + b"|" * 14 +
            b"ACC" + n + b"|RP" + n + b"|SPS" + n + b"||||CT|||1^^^" + start + b"\r")


def dated_entry(n):
    return f"wl/hl7mwld-FL{n}__RP{n}__SPS{n}.wl"


def ago(seconds):
    """The local time `seconds` before now, as OBR-27.4 (YYYYMMDDHHMMSS) and as lines show it."""
    moment = time.localtime(time.time() - seconds)
    return time.strftime("%Y%m%d%H%M%S", moment).encode(), time.strftime("%Y%m%d %H%M%S", moment)


# Three patients' entries for list: 1 and 2 of P1, 3 of P2.
LISTED = [dated(1, b"200001010800"), dated(2, b"201006151230", status=b"IP"),
          dated(3, b"29991231", patient=b"P2", name=b"OTHER^ONE")]
LISTED_FILES = {"o.hl7": LISTED, "wl/": None}
LISTED_AFTER = ["o.hl7", "wl/", "wl/lockfile"] + [dated_entry(n) for n in (1, 2, 3)]
LISTED_LINES = [
    (dated_entry(1)[3:], "P1", "PATIENT^TEST", "ACC1", "RP1", "SPS1", "CT", "ANY",
     "20000101 080000", "SCHEDULED"),
    (dated_entry(2)[3:], "P1", "PATIENT^TEST", "ACC2", "RP2", "SPS2", "CT", "ANY",
     "20100615 123000", "STARTED"),
    (dated_entry(3)[3:], "P2", "OTHER^ONE", "ACC3", "RP3", "SPS3", "CT", "ANY",
     "29991231 000000", "SCHEDULED")]
APPLY_LISTED = [["apply", "--worklist", "wl", "o.hl7"]]
# An update of P1 (2.5.1), then P2 merged into P3 (2.3.1), then other ADT events.
PATIENT_MESSAGES = [
    b"MSH|^~\\&|ADT|SITE|MWL|SITE|20240302080000||ADT^A08^ADT_A01|A1|P|2.5.1\rEVN|A08|20240302\r"
    b"PID|1||P1^^^SITE^MR||RENAMED^ANNA||19700101|F\rPV1|1|I\r",
    b"MSH|^~\\&|ADT|SITE|MWL|SITE|20240302080000||ADT^A40|A2|P|2.3.1\rEVN|A40|20240302\r"
    b"PID|1||P3||SURVIVOR^PAT\rMRG|P2\r",
    b"MSH|^~\\&|ADT|SITE|MWL|SITE|20240302080000||ADT^A28^ADT_A05|A3|P|2.5.1\rEVN|A28\r"
    b"PID|1||P9||NEW^ONE\r",
    b"MSH|^~\\&|ADT|SITE|MWL|SITE|20240302080000||ADT^A08^ADT_A01|A4|P|2.5.1\rEVN|A08\r"
    b"PID|1||P9||NEW^ONE\r"]
PATIENT_FILES = dict(LISTED_FILES, **{"a.hl7": PATIENT_MESSAGES})
# Entries around the boundaries of 36h: just inside and just over, SCHEDULED and STARTED.
MARGIN = 120
INSIDE, OVER = ago(36 * 3600 - MARGIN), ago(36 * 3600 + MARGIN)
STARTED_INSIDE, STARTED_OVER = ago(72 * 3600 - MARGIN), ago(72 * 3600 + MARGIN)
AGED = {"o.hl7": [dated(1, INSIDE[0]), dated(2, OVER[0]), dated(3, STARTED_INSIDE[0], status=b"IP"),
                  dated(4, STARTED_OVER[0], status=b"IP")], "wl/": None}
AGED_ALL = ["o.hl7", "wl/", "wl/lockfile"] + [dated_entry(n) for n in (1, 2, 3, 4)]
AGED_KEPT = ["o.hl7", "wl/", "wl/lockfile", dated_entry(1), dated_entry(3)]
# Oldest first.
AGED_GONE = [(dated_entry(4)[3:], "expired: scheduled " + STARTED_OVER[1]),
             (dated_entry(2)[3:], "expired: scheduled " + OVER[1])]
DURATION_FORM = "a positive number and a unit m, h or d, as in 90m, 36h or 7d"

BAD_AET = ": an AE title has 1 to 16 characters, no \"\\\"\nRun with --help for more information.\n"
AGAIN = "\nRun with --help for more information.\n"
NO_MSH = "no readable MSH segment"
DICOM_START = bytes(128) + b"DICM"
# Wine reads the Linux names of arguments and files in the character set of the locale.
ENVIRONMENT = dict(os.environ, LC_ALL="C.UTF-8")

# files: name -> bytes, a data file's name, a list of those joined, or (content, mode); a name
# ending in "/" is a folder (its value None, or its mode). stdout: outcome lines as tuples of
# columns, or text, or a pattern. stderr: the exact text, its {ENOENT}-style fields standing for
# the C library's text for that error number; or a pattern that must be found (usage errors of
# the argument library). after: every file and folder the case folder then holds.
# before: argument lists run first, each of which must succeed.
Case = collections.namedtuple(
    "Case", "label args files stdin status stdout stderr after before",
    defaults=({}, b"", 0, (), "", (), ()))

CASES = [
    Case("--help", ["--help"],
         stdout=re.compile(rb"Usage: hl7mwld \[OPTIONS\] SUBCOMMAND\n.*\n  apply .*\n  show ",
                           re.S)),
    Case("--version", ["--version"], stdout=re.compile(rb"\Ahl7mwld [0-9]+\.[0-9]+\.[0-9]+\n\Z")),
    Case("no subcommand", [], status=2, stderr=re.compile(rb"\AA subcommand is required")),
    Case("unknown option", ["--bogus"], status=2, stderr=re.compile(rb": --bogus\n")),
    Case("unknown subcommand", ["aply", "--worklist", "wl", ORDER], status=2,
         stderr=re.compile(rb": aply\n")),
    Case("unknown option of apply leaves the folder alone",
         ["apply", "--worklist", "wl", "--bogus", ORDER], {ORDER: ORDER, "wl/": None}, status=2,
         stderr=re.compile(rb"not expected: --bogus\n"), after=[ORDER, "wl/"]),
    Case("apply without --worklist", ["apply", ORDER], {ORDER: ORDER}, status=2,
         stderr=re.compile(rb"--worklist is required"), after=[ORDER]),
    Case("apply without FILE", ["apply", "--worklist", "wl"], {"wl/": None}, status=2,
         stderr=re.compile(rb"FILE is required"), after=["wl/"]),
    Case("show has no --worklist", ["show", "--worklist", "wl", ORDER], {ORDER: ORDER, "wl/": None},
         status=2, stderr=re.compile(rb"not expected: --worklist"), after=[ORDER, "wl/"]),
    Case("empty AE title", ["show", "--station-aet", "", ORDER], {ORDER: ORDER}, status=2,
         stderr="--station-aet " + BAD_AET, after=[ORDER]),
    Case("AE title of 17 characters", ["apply", "--worklist", "wl", "--station-aet",
                                       "ABCDEFGHIJKLMNOPQ", ORDER], {ORDER: ORDER, "wl/": None},
         status=2, stderr="--station-aet ABCDEFGHIJKLMNOPQ" + BAD_AET, after=[ORDER, "wl/"]),
    Case("backslash in an AE title", ["show", "--station-aet", "CT=CT\\01", ORDER], {ORDER: ORDER},
         status=2, stderr="--station-aet CT=CT\\01" + BAD_AET, after=[ORDER]),
    Case("second AE title for all modalities", ["apply", "--worklist", "wl", "--station-aet", "A1",
                                                "--station-aet", "A2", ORDER],
         {ORDER: ORDER, "wl/": None}, status=2,
         stderr="--station-aet A2: a second AE title for all modalities" + AGAIN,
         after=[ORDER, "wl/"]),
    Case("modality given twice, in any case", ["show", "--station-aet", "CT=A1", "--station-aet",
                                               "ct=A2", ORDER], {ORDER: ORDER}, status=2,
         stderr="--station-aet ct=A2: a second AE title for CT" + AGAIN, after=[ORDER]),
    Case("--allow: not an address", ["serve", "--worklist", "wl", "--allow", "10.0.0.256"],
         {"wl/": None}, status=2, stderr="--allow 10.0.0.256: not an IPv4 or IPv6 address, "
         "alone or with /BITS" + AGAIN, after=["wl/"]),
    Case("--allow: bits set beyond BITS", ["serve", "--worklist", "wl", "--allow", "fe80::1/10"],
         {"wl/": None}, status=2, stderr="--allow fe80::1/10: bits set beyond the first 10; the "
         "network is fe80::/10" + AGAIN, after=["wl/"]),
    # A Windows program would read "/dev/null" as an option; under Wine it names the Linux device.
    Case("a path beginning with / is a file", ["show", "/dev/null"], status=1,
         stdout=[("/dev/null", 1, "-", "rejected", "-", NO_MSH)]),
    Case("missing worklist folder", ["apply", "--worklist", "nowl", ORDER], {ORDER: ORDER},
         status=2, stderr="hl7mwld: nowl: {ENOENT}\n", after=[ORDER]),
    Case("worklist that is a file", ["apply", "--worklist", "wl", ORDER], {ORDER: ORDER, "wl": b""},
         status=2, stderr="hl7mwld: wl: {ENOTDIR}\n", after=[ORDER, "wl"]),
    Case("apply creates an entry", ["apply", "--worklist", "wl", ORDER],
         {ORDER: ORDER, "wl/": None},
         stdout=[(ORDER, 1, "MSG0001", "created", ENTRY)],
         after=[ORDER, "wl/", "wl/lockfile", "wl/" + ENTRY]),
    # Names outside any legacy Windows code page: the program reads and prints UTF-8 names.
    Case("file and folder names in UTF-8", ["apply", "--worklist", "списки", "заказ-é.hl7"],
         {"заказ-é.hl7": ORDER, "списки/": None},
         stdout=[("заказ-é.hl7", 1, "MSG0001", "created", ENTRY)],
         after=["заказ-é.hl7", "списки/", "списки/lockfile", "списки/" + ENTRY]),
    Case("rejected message, the next of the file applied", ["apply", "--worklist", "wl", "two.hl7"],
         {"two.hl7": [REJECTED, ORDER], "wl/": None}, status=1,
         stdout=[("two.hl7", 1, "MSG0003", "rejected", "-", "no Patient ID in PID-3 or PID-2"),
                 ("two.hl7", 2, "MSG0001", "created", ENTRY)],
         after=["two.hl7", "wl/", "wl/lockfile", "wl/" + ENTRY]),
    Case("unreadable files, the others applied; 2 wins over 1",
         ["apply", "--worklist", "wl", "missing.hl7", "dir", "rejected.hl7", ORDER],
         {ORDER: ORDER, "rejected.hl7": REJECTED, "dir/": None, "wl/": None}, status=2,
         stdout=[("rejected.hl7", 1, "MSG0003", "rejected", "-", "no Patient ID in PID-3 or PID-2"),
                 (ORDER, 1, "MSG0001", "created", ENTRY)],
         stderr="hl7mwld: missing.hl7: {ENOENT}\nhl7mwld: dir: {EISDIR}\n",
         after=[ORDER, "rejected.hl7", "dir/", "wl/", "wl/lockfile", "wl/" + ENTRY]),
    Case("- is standard input", ["apply", "--worklist", "wl", "-"], {"wl/": None}, stdin=ORDER,
         stdout=[("-", 1, "MSG0001", "created", ENTRY)],
         after=["wl/", "wl/lockfile", "wl/" + ENTRY]),
    Case("-- before a file named -x.hl7, whose entry replaces one",
         ["apply", "--worklist", "wl", "--", "-x.hl7"],
         {"-x.hl7": ORDER, "wl/": None, "wl/" + ENTRY: b"old"},
         stdout=[("-x.hl7", 1, "MSG0001", "replaced", ENTRY)],
         after=["-x.hl7", "wl/", "wl/lockfile", "wl/" + ENTRY]),
    Case("cancel of an order without entries", ["apply", "--worklist", "wl", "cancel.hl7"],
         {"cancel.hl7": CANCEL, "wl/": None},
         stdout=[("cancel.hl7", 1, "MSG0002", "ignored", "-", "no entries of order FL0001")],
         after=["cancel.hl7", "wl/", "wl/lockfile"]),
    Case("MLLP frames: an order, then its cancel", ["apply", "--worklist", "wl", "framed.hl7"],
         {"framed.hl7": [b"\x0b", ORDER, b"\x1c\r\x0b", CANCEL, b"\x1c\r"], "wl/": None},
         stdout=[("framed.hl7", 1, "MSG0001", "created", ENTRY),
                 ("framed.hl7", 2, "MSG0002", "removed", ENTRY)],
         after=["framed.hl7", "wl/", "wl/lockfile"]),
    Case("cancels name the entries they cannot read", ["apply", "--worklist", "wl", "c.hl7"],
         {"c.hl7": [ORDER, CANCEL, CANCEL], "wl/": None, "wl/hl7mwld-x.wl": DICOM_START + b"x"},
         stdout=[("c.hl7", 1, "MSG0001", "created", ENTRY),
                 ("c.hl7", 2, "MSG0002", "removed", ENTRY, "entry hl7mwld-x.wl could not be read"),
                 ("c.hl7", 3, "MSG0002", "ignored", "-",
                  "no entries of order FL0001; entry hl7mwld-x.wl could not be read")],
         after=["c.hl7", "wl/", "wl/lockfile", "wl/hl7mwld-x.wl"]),
    # The folder in the way stops the batch: message 1 is done part-way, message 2 not at all.
    Case("a failed rename: a line for each change on the disk, then the error",
         ["apply", "--worklist", "wl", "m.hl7"],
         {"m.hl7": [ORDER, SECOND_OBR, CANCEL], "wl/": None, f"wl/{SECOND_ENTRY}/": None},
         status=2, stdout=[("m.hl7", 1, "MSG0001", "created", ENTRY)],
         stderr=re.compile(rb"\Ahl7mwld: wl[/\\]" + SECOND_ENTRY.encode() + rb": [^\n]+\n\Z"),
         after=["m.hl7", "wl/", "wl/lockfile", f"wl/{ENTRY}", f"wl/{SECOND_ENTRY}/"]),
    Case("UTF-8 byte-order mark", ["apply", "--worklist", "wl", "bom.hl7"],
         {"bom.hl7": [b"\xef\xbb\xbf", ORDER], "wl/": None},
         stdout=[("bom.hl7", 1, "MSG0001", "created", ENTRY)],
         after=["bom.hl7", "wl/", "wl/lockfile", "wl/" + ENTRY]),
    Case("empty input file", ["apply", "--worklist", "wl", "empty.hl7"],
         {"empty.hl7": b"", "wl/": None}, status=1,
         stdout=[("empty.hl7", 1, "-", "rejected", "-", NO_MSH)],
         after=["empty.hl7", "wl/", "wl/lockfile"]),
    Case("only garbage", ["apply", "--worklist", "wl", "garbage.hl7"],
         {"garbage.hl7": b"\x00garbage\xff\r\nPID|1||P1\n", "wl/": None}, status=1,
         stdout=[("garbage.hl7", 1, "-", "rejected", "-", NO_MSH)],
         after=["garbage.hl7", "wl/", "wl/lockfile"]),
    # "MSH" and a frame end: no header, whether alone, after a message or after a byte-order mark.
    Case("MSH and a frame end alone, after a byte-order mark, after a message",
         ["apply", "--worklist", "wl", "msh1.hl7", "msh2.hl7", "msh3.hl7"],
         {"msh1.hl7": b"MSH\x1c", "msh2.hl7": b"\xef\xbb\xbfMSH\x1c\r",
          "msh3.hl7": [ORDER, b"\rMSH\x1c"], "wl/": None}, status=1,
         stdout=[("msh1.hl7", 1, "-", "rejected", "-", NO_MSH),
                 ("msh2.hl7", 1, "-", "rejected", "-", NO_MSH),
                 ("msh3.hl7", 1, "MSG0001", "created", ENTRY),
                 ("msh3.hl7", 2, "-", "rejected", "-", NO_MSH)],
         after=["msh1.hl7", "msh2.hl7", "msh3.hl7", "wl/", "wl/lockfile", "wl/" + ENTRY]),
    Case("more entries than --max-entries", ["show", "--max-entries", "2", "three.hl7"],
         {"three.hl7": THREE}, status=1,
         stdout=[("three.hl7", 1, "MSG0007", "rejected", "-",
                  "the message would write 3 entries (--max-entries 2)")],
         after=["three.hl7"]),
    Case("a profile picks the identifier, translates the modality, writes UTF-8",
         ["show", "--profile", "site.toml", "x.hl7"], {"site.toml": PROFILE, "x.hl7": LATIN1_XR},
         stdout=re.compile("\\A[^\\n]*\\twrite\\thl7mwld-FL8__RP8__SPS8.wl\\n"
                           "  \\(0008,0005\\) CS SpecificCharacterSet ISO_IR 192\\n.*"
                           "  \\(0010,0010\\) PN PatientName M\u00dcLLER\\^J\\n"
                           "  \\(0010,0020\\) LO PatientID M\u00dc8\\n.*"
                           "    \\(0040,0001\\) AE ScheduledStationAETitle DX01\\n.*"
                           "    \\(0008,0060\\) CS Modality DX\\n".encode(), re.S),
         after=["site.toml", "x.hl7"]),
    Case("the command line's --station-aet replaces the profile's", ["show", "--profile",
         "site.toml", "--station-aet", "DX=MINE", "x.hl7"],
         {"site.toml": PROFILE, "x.hl7": LATIN1_XR},
         stdout=re.compile(rb"ScheduledStationAETitle MINE\n"), after=["site.toml", "x.hl7"]),
    Case("--mapping prints the table in force", ["show", "--profile", "site.toml", "--mapping"],
         {"site.toml": PROFILE},
         stdout=re.compile(rb"\nPatientID \(0010,0020\) PID-3\[type=MR\], PID-3\n.*"
                           rb"\n  Modality \(0008,0060\) IPC-5, OBR-24; ", re.S),
         after=["site.toml"]),
    Case("a profile's unknown row stops apply before the folder", ["apply", "--worklist", "wl",
         "--profile", "bad.toml", ORDER], {"bad.toml": b'[sources]\nAccesionNumber = "OBR-3"\n',
                                           ORDER: ORDER},
         status=2, stderr="hl7mwld: bad.toml:2:1: unknown keyword AccesionNumber (a row of the "
         "mapping table that reads sources, e.g. AccessionNumber or "
         "RequestedProcedureCodeSequence.CodeValue)\n", after=["bad.toml", ORDER]),
    Case("a profile's malformed source", ["show", "--profile", "bad.toml", ORDER],
         {"bad.toml": b'[sources]\nAccessionNumber = ["OBR-18", "OBR18"]\n', ORDER: ORDER},
         status=2, stderr="hl7mwld: bad.toml:2:19: \"OBR18\" is no source: SEG-F, SEG-F.C or "
         "SEG-F.C.S, as in \"OBR-4.2\", with [type=X] or [authority=X] after F to pick a "
         "repetition\n", after=["bad.toml", ORDER]),
    Case("a profile's unknown option value", ["show", "--profile", "bad.toml", ORDER],
         {"bad.toml": b'[options]\ncharset = "latin1"\n', ORDER: ORDER}, status=2,
         stderr="hl7mwld: bad.toml:2:11: charset is \"utf8\" or \"keep\"\n",
         after=["bad.toml", ORDER]),
    Case("a profile that is no TOML", ["show", "--profile", "bad.toml", ORDER],
         {"bad.toml": b'[options\n', ORDER: ORDER}, status=2,
         stderr=re.compile(rb"\Ahl7mwld: bad.toml:1:9: [^\n]+\n\Z"), after=["bad.toml", ORDER]),
    Case("show prints the entry and writes nothing",
         ["show", "--station-aet", "CT=CT01", "--station-aet", "ABCDEFGHIJKLMNOP", "shown.hl7"],
         {"shown.hl7": SHOWN},
         stdout=[("shown.hl7", 1, "MSG0004", "write", SHOWN_ENTRY), SHOWN_ELEMENTS],
         after=["shown.hl7"]),
    Case("list: an entry in Latin-1 in UTF-8; an unreadable entry named, the others listed",
         ["list", "--worklist", "wl"],
         {"l.hl7": dated(5, b"20240301", patient=b"M\xdc8", charset=b"8859/1",
                         name=b"M\xdcLLER^J\\T\\ANNA"),
          "wl/": None, "wl/hl7mwld-x.wl": DICOM_START + b"x"}, status=1,
         stdout=[(dated_entry(5)[3:], "M\u00dc8", "M\u00dcLLER^J&ANNA", "ACC5", "RP5", "SPS5",
                  "CT", "ANY", "20240301 000000", "SCHEDULED")],
         stderr=re.compile(rb"\Ahl7mwld: wl[/\\]hl7mwld-x.wl: [^\n]+\n\Z"),
         before=[["apply", "--worklist", "wl", "l.hl7"]],
         after=["l.hl7", "wl/", "wl/lockfile", "wl/hl7mwld-x.wl", dated_entry(5)]),
    Case("list: every entry, sorted by file name", ["list", "--worklist", "wl"], LISTED_FILES,
         stdout=LISTED_LINES, before=APPLY_LISTED, after=LISTED_AFTER),
    Case("ADT: a line for each entry updated; other events and unknown patients ignored",
         ["apply", "--worklist", "wl", "a.hl7"], PATIENT_FILES,
         stdout=[("a.hl7", 1, "A1", "updated", dated_entry(1)[3:]),
                 ("a.hl7", 1, "A1", "updated", dated_entry(2)[3:]),
                 ("a.hl7", 2, "A2", "updated", dated_entry(3)[3:]),
                 ("a.hl7", 3, "A3", "ignored", "-", "ADT event A28 changes no entry"),
                 ("a.hl7", 4, "A4", "ignored", "-", "no entries of patient P9")],
         before=APPLY_LISTED, after=LISTED_AFTER + ["a.hl7"]),
    Case("list after an update and a merge: the new name, the surviving ID",
         ["list", "--worklist", "wl"], PATIENT_FILES,
         stdout=[LISTED_LINES[0][:2] + ("RENAMED^ANNA",) + LISTED_LINES[0][3:],
                 LISTED_LINES[1][:2] + ("RENAMED^ANNA",) + LISTED_LINES[1][3:],
                 LISTED_LINES[2][:1] + ("P3", "SURVIVOR^PAT") + LISTED_LINES[2][3:]],
         before=APPLY_LISTED + [["apply", "--worklist", "wl", "a.hl7"]],
         after=LISTED_AFTER + ["a.hl7"]),
    Case("list --patient", ["list", "--worklist", "wl", "--patient", "P1"], LISTED_FILES,
         stdout=LISTED_LINES[:2], before=APPLY_LISTED, after=LISTED_AFTER),
    Case("list --order: the placer number", ["list", "--worklist", "wl", "--order", "PL2"],
         LISTED_FILES, stdout=LISTED_LINES[1:2], before=APPLY_LISTED, after=LISTED_AFTER),
    Case("list --order: the filler number", ["list", "--worklist", "wl", "--order", "FL3"],
         LISTED_FILES, stdout=LISTED_LINES[2:], before=APPLY_LISTED, after=LISTED_AFTER),
    Case("list --accession", ["list", "--worklist", "wl", "--accession", "ACC1"], LISTED_FILES,
         stdout=LISTED_LINES[:1], before=APPLY_LISTED, after=LISTED_AFTER),
    Case("list --date FROM: that day", ["list", "--worklist", "wl", "--date", "20100615"],
         LISTED_FILES, stdout=LISTED_LINES[1:2], before=APPLY_LISTED, after=LISTED_AFTER),
    Case("list --date FROM-TO, both days included, with --patient",
         ["list", "--worklist", "wl", "--date", "20000101-29991231", "--patient", "P2"],
         LISTED_FILES, stdout=LISTED_LINES[2:], before=APPLY_LISTED, after=LISTED_AFTER),
    Case("list --date: TO before FROM", ["list", "--worklist", "wl", "--date", "20100615-20000101"],
         {"wl/": None}, status=2, stderr="--date 20100615-20000101: TO is before FROM" + AGAIN,
         after=["wl/"]),
    Case("list: missing folder", ["list", "--worklist", "nowl"], status=2,
         stderr="hl7mwld: nowl: {ENOENT}\n"),
    Case("expire: just over 36h goes, STARTED twice as long; a kept line for an unreadable entry",
         ["expire", "--worklist", "wl", "--older-than", "36h"],
         dict(AGED, **{"wl/hl7mwld-x.wl": DICOM_START + b"x"}),
         stdout=[("removed",) + line for line in AGED_GONE] +
                [("kept", "-", "never expired, no readable start: hl7mwld-x.wl")],
         before=[["apply", "--worklist", "wl", "o.hl7"]], after=AGED_KEPT + ["wl/hl7mwld-x.wl"]),
    Case("expire --dry-run changes nothing", ["expire", "--worklist", "wl", "--older-than",
                                              "2160m", "--dry-run"], AGED,
         stdout=[("would remove",) + line for line in AGED_GONE],
         before=[["apply", "--worklist", "wl", "o.hl7"]], after=AGED_ALL),
    Case("expire: a duration without its unit", ["expire", "--worklist", "wl", "--older-than",
                                                  "36"], {"wl/": None}, status=2,
         stderr="--older-than 36: " + DURATION_FORM + AGAIN, after=["wl/"]),
    Case("apply --expire-after: after the messages, one line per entry removed",
         ["apply", "--worklist", "wl", "--expire-after", "36h", "o.hl7"], AGED,
         stdout=[("o.hl7", n, f"M{n}", "created", dated_entry(n)[3:]) for n in (1, 2, 3, 4)] +
                [("-", "-", "-", "removed") + line for line in AGED_GONE], after=AGED_KEPT),
    Case("the profile's expire_after", ["apply", "--worklist", "wl", "--profile", "p.toml", "o.hl7"],
         dict(AGED, **{"p.toml": b'[lifecycle]\nexpire_after = "36h"\n'}),
         stdout=[("o.hl7", n, f"M{n}", "created", dated_entry(n)[3:]) for n in (1, 2, 3, 4)] +
                [("-", "-", "-", "removed") + line for line in AGED_GONE],
         after=AGED_KEPT + ["p.toml"]),
    Case("the command line's --expire-after wins over the profile's",
         ["apply", "--worklist", "wl", "--profile", "p.toml", "--expire-after", "3d", "o.hl7"],
         dict(AGED, **{"p.toml": b'[lifecycle]\nexpire_after = "1m"\n'}),
         stdout=[("o.hl7", n, f"M{n}", "created", dated_entry(n)[3:]) for n in (1, 2, 3, 4)],
         after=AGED_ALL + ["p.toml"]),
    Case("a profile's expire_after that is no duration", ["apply", "--worklist", "wl",
         "--profile", "p.toml", ORDER], {"p.toml": b'[lifecycle]\nexpire_after = "0d"\n',
                                         ORDER: ORDER, "wl/": None}, status=2,
         stderr="hl7mwld: p.toml:2:16: expire_after is " + DURATION_FORM + "\n",
         after=["p.toml", ORDER, "wl/"]),
    Case("show of a cancel and of a rejected message", ["show", "mixed.hl7"],
         {"mixed.hl7": [CANCEL, REJECTED]}, status=1,
         stdout=[("mixed.hl7", 1, "MSG0002", "remove", "-", "the entries of order FL0001"),
                 ("mixed.hl7", 2, "MSG0003", "rejected", "-", "no Patient ID in PID-3 or PID-2")],
         after=["mixed.hl7"]),
]

NON_ROOT_CASES = [
    Case("read-only worklist folder", ["apply", "--worklist", "ro", ORDER],
         {ORDER: ORDER, "ro/": 0o500}, status=2, stderr="hl7mwld: ro: {EACCES}\n",
         after=[ORDER, "ro/"]),
    Case("unreadable input", ["apply", "--worklist", "wl", "locked.hl7", ORDER],
         {"locked.hl7": (ORDER, 0o000), ORDER: ORDER, "wl/": None}, status=2,
         stdout=[(ORDER, 1, "MSG0001", "created", ENTRY)],
         stderr="hl7mwld: locked.hl7: {EACCES}\n",
         after=["locked.hl7", ORDER, "wl/", "wl/lockfile", "wl/" + ENTRY]),
]


def listing(folder):
    """The folder's files and folders, but the count of commits and the journal each worklist
    folder keeps."""
    names = []
    for root, dirs, files in os.walk(folder):
        relative = os.path.relpath(root, folder)
        prefix = "" if relative == "." else relative.replace(os.sep, "/") + "/"
        names += [prefix + d + "/" for d in dirs]
        names += [prefix + f for f in files if f not in ("hl7mwld-generation", "hl7mwld-journal")]
    return sorted(names)


def run_case(case, command, data, texts, folder):
    harness.make_files(folder, case.files, data)
    for args in case.before:
        first = harness.run(command + args, timeout=60, cwd=folder, env=ENVIRONMENT)
        if first.returncode != 0:
            return [f"{args} ended with {first.returncode}: {first.stderr!r}"]
    result = harness.run(command + case.args, timeout=60, cwd=folder, env=ENVIRONMENT,
                         input=harness.content(case.stdin, data))
    stdout = case.stdout
    if not isinstance(stdout, re.Pattern):
        stdout = "".join(line if isinstance(line, str) else "\t".join(map(str, line)) + "\n"
                         for line in stdout).encode("utf-8")
    problems = harness.compare("status", result.returncode, case.status, texts)
    problems += harness.compare("stdout", result.stdout, stdout, texts)
    problems += harness.compare("stderr", result.stderr, case.stderr, texts)
    left = listing(folder)
    if left != sorted(case.after):
        problems.append(f"the folder holds {left}, expected {sorted(case.after)}")
    for name in left:
        if name.endswith(".wl"):
            with open(os.path.join(folder, name), "rb") as f:
                if not f.read().startswith(DICOM_START):
                    problems.append(f"{name} is no DICOM file")
    return problems


if __name__ == "__main__":
    sys.exit(harness.run_table(__doc__, CASES, NON_ROOT_CASES, run_case))
