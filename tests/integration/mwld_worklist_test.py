#!/usr/bin/env python3
"""hl7mwld apply -> worklist folder -> wlmscpfs and Orthanc -> findscu: orders reach a modality.

Usage: mwld_worklist_test.py --program PATH --data DIR [--emulator CMD] [--real-messages DIR]

Applies the messages of DIR/mwld and every file of the real messages folder (by default
../shared/real-messages beside the repository), reads every .wl file with dcmdump and with
pydicom, serves the folders with wlmscpfs (default file check, -csk) and with Orthanc's worklist
plugin, and compares what findscu finds with the values typed below from the documented
mapping. Runs itself again inside a private network namespace that holds only loopback. Needs
DCMTK, Orthanc, python3-pydicom, unshare and ip.
"""
import datetime
import os
import re
import sys
import tempfile
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
REPOSITORY = os.path.dirname(os.path.dirname(HERE))
sys.path[:0] = [HERE, os.path.dirname(HERE)]
from harness import check, folder_files, guarded, in_namespaces, parse_options  # noqa: E402
from harness import require_pydicom, run, summary, tools_missing  # noqa: E402

require_pydicom()
import pydicom  # noqa: E402
import worklist_files  # noqa: E402
import worklist_servers  # noqa: E402

TIMEOUT = 60  # seconds for one run of the program
AE_TITLE = "HL7MWLD"  # the folder wlmscpfs serves for the test's own messages
REAL_AE_TITLE = "REAL"  # and for the real messages
PATIENT_AE_TITLE = "PATIENTS"  # and for the patient updates and merges
SECOND_ORTHANC_PORT, THIRD_ORTHANC_PORT = 4243, 4244
STATION_AETS = ["--station-aet", "CT=CT01", "--station-aet", "STATION1"]
OUTCOMES = ("created", "replaced", "removed", "ignored", "rejected", "updated")

# Markers in the expected values.
ABSENT = None  # the element is not in the file (a server answers it empty or not at all)
DERIVED = "<derived>"  # a UID of the program's own under 2.25, the same on every apply
CLOCK = "<clock>"  # the local date or time of the run
STEP = "ScheduledProcedureStepSequence"

# The messages in the order they are applied; the files hold one message or several.
FIRST_FILES = ["latin1_order.hl7", "utf8_two_ipc.hl7", "two_obr_escapes_lf.hl7",
               "no_orc_no_date.hl7"]
REJECTED_FILE = "rejected_then_accepted.hl7"  # MSG7001 lacks OBR-4 in its second order
CHANGES_FILE = "change_and_cancel_crlf.hl7"  # MSG4001 XO of ACC1001, MSG5001 cancels A3001
# Orders ACC9101 and ACC9102 of patient A1 (OLD^NAME) and ACC9201 of B1, then an ADT^A08 of A1
# and an ADT^A40 merging B1 into S1.
PATIENT_FILE = "patient_update_and_merge.hl7"


def step(aet, date, time, modality, description, protocol, step_id, status):
    return [{"ScheduledStationAETitle": aet, "ScheduledProcedureStepStartDate": date,
             "ScheduledProcedureStepStartTime": time, "Modality": modality,
             "ScheduledProcedureStepDescription": description,
             "ScheduledProtocolCodeSequence": protocol, "ScheduledProcedureStepID": step_id,
             "ScheduledProcedureStepStatus": status}]


def code(value, scheme, meaning):
    return [{"CodeValue": value, "CodingSchemeDesignator": scheme, "CodeMeaning": meaning}]


# Every entry the messages give, by Accession Number, typed from the mapping table. "" is an
# element that is absent or empty; the table leaves that choice open.
PATIENT_1001 = {
    "SpecificCharacterSet": "ISO_IR 100",  # MSH-18 8859/1
    "ReferringPhysicianName": "NELL^FREDERICK^P^DR",  # XCN prefix DR moves before the suffix
    "PatientName": "M\u00dcLLER^J\u00d6RG^K^PROF",  # Latin-1 bytes DC and D6 in the message
    "PatientID": "P1001", "IssuerOfPatientID": "HOSP1",
    "PatientBirthDate": "19650412", "PatientSex": "M",
    "AdmissionID": "V1001",  # PV1-19 before PID-18
    "CurrentPatientLocation": "4W 401 B CITYHOSP",
}
PATIENT_2001 = {
    "SpecificCharacterSet": "ISO_IR 192",  # MSH-18 UNICODE UTF-8
    "ReferringPhysicianName": "",  # no PV1
    "PatientName": "\u0141UKASIEWICZ^ZOFIA^Ren\u00e9",  # \XC3A9\ gives the bytes of e-acute
    "PatientID": "P2001",  # first repetition of PID-3
    "IssuerOfPatientID": "CLINIC",  # first subcomponent of PID-3.4
    "PatientBirthDate": "19800229", "PatientSex": "F",
    "AdmissionID": "ADM-2001",  # PID-18, there being no PV1
    "CurrentPatientLocation": "",
}
ORDER_2001 = {
    "RequestedProcedureDescription": "CT HEAD",
    "RequestedProcedureCodeSequence": code("24725-4", "LN", "CT HEAD"),
    "RequestingPhysician": "", "RequestedProcedureID": "RP2001",  # IPC-2 before OBR-19
    "RequestedProcedurePriority": "HIGH",  # TQ1-9 A
    "PlacerOrderNumberImagingServiceRequest": "A2001",
    "FillerOrderNumberImagingServiceRequest": "F2001",
}
PATIENT_3001 = {
    "SpecificCharacterSet": ABSENT,  # no MSH-18, and the text is ASCII
    "ReferringPhysicianName": "VAN DYKE^PETER^^DR",  # \E\ leaves a backslash: a blank
    # \X27\ is an apostrophe, \T\ an ampersand, and \S\ a caret inside one component: a blank.
    "PatientName": "D'ANGELO&SONS^MARY ANN^B^DR^JR",
    "PatientID": "P3001", "IssuerOfPatientID": "",
    "PatientBirthDate": "",  # 19991301 is no date
    "PatientSex": "",  # U
    "AdmissionID": "", "CurrentPatientLocation": "WARD7 12",
}
ORDER_3001 = {
    "PlacerOrderNumberImagingServiceRequest": "A3001",
    "FillerOrderNumberImagingServiceRequest": "F3001",
}
US_DESCRIPTION = "US ABDOMEN COMPLETE WITH DOPPLER OF THE PORTAL AND HEPATIC VEIN"  # cut at 64

EXPECTED = {
    "ACC1001": {
        **PATIENT_1001, "AccessionNumber": "ACC1001",
        "StudyInstanceUID": DERIVED,
        "RequestedProcedureDescription": "CT HEAD W/O CONTRAST",
        "RequestedProcedureCodeSequence": code("CTHEAD", "LOCALRAD", "CT HEAD W/O CONTRAST"),
        "RequestingPhysician": "ESTRADA^JAIME^P^DR",
        "RequestedProcedureID": "RP1001",
        "RequestedProcedurePriority": "STAT",  # ORC-7.6 S before OBR-27.6 R
        "PlacerOrderNumberImagingServiceRequest": "A1001",
        "FillerOrderNumberImagingServiceRequest": "F1001",
        # OBR-27.4 before ORC-7.4; the fraction is dropped.
        STEP: step("CT01", "20240312", "083000", "CT", "Head plain",
                   code("CTH1", "LOCALPROT", "Head plain"), "SPS1001", "SCHEDULED"),
    },
    "ACC2001": {
        **PATIENT_2001, **ORDER_2001, "AccessionNumber": "ACC2001",
        "StudyInstanceUID": "2.25.111111111111111111111",  # IPC-3
        # TQ1-7 202403151030+0100: HHMM, the zone dropped; ORC-5 IP.
        STEP: step("MRI7", "20240315", "1030", "MR", "CT HEAD", ABSENT, "SPS2001", "STARTED"),
    },
    "ACC2002": {
        **PATIENT_2001, **ORDER_2001, "AccessionNumber": "ACC2002",
        "StudyInstanceUID": "2.25.222222222222222222222",  # IPC-3 is no UID: the ZDS
        # Modality from OBR-24, the station from --station-aet CT=CT01.
        STEP: step("CT01", "20240315", "1030", "CT", "CT HEAD", ABSENT, "SPS2002", "STARTED"),
    },
    "ACC3001": {
        **PATIENT_3001, **ORDER_3001, "AccessionNumber": "ACC3001",
        "StudyInstanceUID": "2.25.333333333333333333333",  # the ZDS after this OBR
        "RequestedProcedureDescription": "MR KNEE LEFT",  # \H\ and \N\ dropped
        "RequestedProcedureCodeSequence": ABSENT,  # no OBR-4.3
        "RequestingPhysician": "O BRIEN^PAT",
        "RequestedProcedureID": "RP3001",
        "RequestedProcedurePriority": "ROUTINE",  # OBR-27.6 R
        # The TQ1 after the ORC applies to both OBRs, before OBR-27.4; a date alone.
        STEP: step("STATION1", "20240320", "000000", "MR", "MR KNEE LEFT", ABSENT, "SPS3001",
                   "SCHEDULED"),
    },
    "ACC3002": {
        **PATIENT_3001, **ORDER_3001, "AccessionNumber": "ACC3002",
        "StudyInstanceUID": DERIVED,  # the ZDS belongs to the other OBR
        "RequestedProcedureDescription": US_DESCRIPTION,
        "RequestedProcedureCodeSequence": ABSENT,
        "RequestingPhysician": "",
        "RequestedProcedureID": "RP3002",
        "RequestedProcedurePriority": "HIGH",  # OBR-27.6 C
        STEP: step("STATION1", "20240320", "000000", "US", US_DESCRIPTION, ABSENT,
                   "RP3002",  # no OBR-20: the Requested Procedure ID
                   "SCHEDULED"),
    },
    "ACC-LONG-1234567890": {  # longer than SH allows: written whole
        "SpecificCharacterSet": ABSENT,  # MSH-18 ASCII
        "AccessionNumber": "ACC-LONG-1234567890",
        "ReferringPhysicianName": "", "PatientName": "DOE^JOHN", "PatientID": "P6001",
        "IssuerOfPatientID": "", "PatientBirthDate": "20000101", "PatientSex": "O",
        "StudyInstanceUID": DERIVED,
        "RequestedProcedureDescription": "CHEST PA",
        "RequestedProcedureCodeSequence": ABSENT,
        "RequestingPhysician": "", "AdmissionID": "ADM6001", "CurrentPatientLocation": "",
        # No OBR-19: the Accession Number, too long for SH: its SHA-256's first 16 hex digits.
        "RequestedProcedureID": "152884058382F877",
        "RequestedProcedurePriority": "MEDIUM",  # OBR-27.6 T
        "PlacerOrderNumberImagingServiceRequest": "A6001",  # no ORC: OBR-2
        "FillerOrderNumberImagingServiceRequest": "",
        # No date anywhere, not even MSH-7; no OBR-24: OT, whose station is the bare AET.
        STEP: step("STATION1", CLOCK, CLOCK, "OT", "CHEST PA", ABSENT, "152884058382F877",
                   "SCHEDULED"),
    },
    "ACC8001": {
        "SpecificCharacterSet": "ISO_IR 100",  # MSH-18 " 8859/1 "
        "AccessionNumber": "ACC8001",
        "ReferringPhysicianName": "", "PatientName": "NGUYEN^AN", "PatientID": "P8001",
        "IssuerOfPatientID": "", "PatientBirthDate": "", "PatientSex": "",
        "StudyInstanceUID": DERIVED,
        "RequestedProcedureDescription": "FOOT",
        "RequestedProcedureCodeSequence": ABSENT,
        "RequestingPhysician": "", "AdmissionID": "", "CurrentPatientLocation": "",
        "RequestedProcedureID": "ACC8001",
        "RequestedProcedurePriority": "HIGH",  # OBR-27.6 P
        "PlacerOrderNumberImagingServiceRequest": "A8001",
        "FillerOrderNumberImagingServiceRequest": "",
        # ORC-7.4 2024031014: HH alone.
        STEP: step("STATION1", "20240310", "14", "CR", "FOOT", ABSENT, "ACC8001", "SCHEDULED"),
    },
}
# The XO of ACC1001 moves the patient and takes its start from MSH-7 (its OBR-27 and ORC-7
# carry only priorities). The cancel removes both entries of order F3001.
CHANGED_1001 = {
    **EXPECTED["ACC1001"], "CurrentPatientLocation": "ICU 2",
    STEP: [{**EXPECTED["ACC1001"][STEP][0], "ScheduledProcedureStepStartDate": "20240306",
            "ScheduledProcedureStepStartTime": "080000"}],
}

# A worklist entry of the site's own in the same folder: served beside the program's entries,
# never touched by it.
SITE_ENTRY = {
    "SpecificCharacterSet": "ISO_IR 100", "AccessionNumber": "SITE-ACC-1",
    "ReferringPhysicianName": "", "PatientName": "SITE^OWN", "PatientID": "SITE0001",
    "IssuerOfPatientID": "", "PatientBirthDate": "19700101", "PatientSex": "F",
    "StudyInstanceUID": "2.25.444444444444444444444",
    "RequestedProcedureDescription": "SITE CT", "RequestedProcedureCodeSequence": ABSENT,
    "RequestingPhysician": "", "AdmissionID": "", "CurrentPatientLocation": "",
    "RequestedProcedureID": "SITE-RP-1", "RequestedProcedurePriority": "ROUTINE",
    "PlacerOrderNumberImagingServiceRequest": "", "FillerOrderNumberImagingServiceRequest": "",
    STEP: step("CT01", "20240313", "120000", "CT", "SITE CT", ABSENT, "SITE-SPS-1", "SCHEDULED"),
}

# Queries a modality sends, with the Accession Numbers each must find, after the first files,
# the rejected file and the site's entry. A key of bytes is sent as it is.
QUERIES = [
    ("universal", [], sorted(EXPECTED) + ["SITE-ACC-1"]),
    ("by Accession Number", ["AccessionNumber=ACC2002"], ["ACC2002"]),
    ("by Patient ID", ["PatientID=P3001"], ["ACC3001", "ACC3002"]),
    ("by Modality", [f"{STEP}[0].Modality=CT"], ["ACC1001", "ACC2002", "SITE-ACC-1"]),
    ("by date range", [f"{STEP}[0].ScheduledProcedureStepStartDate=20240312-20240315"],
     ["ACC1001", "ACC2001", "ACC2002", "SITE-ACC-1"]),
    ("by station", [f"{STEP}[0].ScheduledStationAETitle=STATION1"],
     ["ACC-LONG-1234567890", "ACC3001", "ACC3002", "ACC8001"]),
    ("by name wildcard", ["PatientName=D*"], ["ACC-LONG-1234567890", "ACC3001", "ACC3002"]),
    # wlmscpfs compares bytes, so each pattern finds only files in its own character set;
    # Orthanc converts the query and the files to UTF-8 before it compares.
    ("by Latin-1 name wildcard", [b"SpecificCharacterSet=ISO_IR 100",
                                  "PatientName=M\u00dcL*".encode("latin-1")], ["ACC1001"]),
    ("by UTF-8 name wildcard", [b"SpecificCharacterSet=ISO_IR 192",
                                "PatientName=\u0141UK*".encode()], ["ACC2001", "ACC2002"]),
]
QUERIES_AFTER_CHANGES = [
    ("cancelled order", ["PatientID=P3001"], []),
    ("changed order", ["AccessionNumber=ACC1001"], ["ACC1001"]),
]
# The A08 gives A1's entries its PID's name, birth date and sex and its PV1's location; the A40
# gives B1's entry the Patient ID, issuer and patient attributes of its PID, the visit its own.
UPDATED_A1 = {"PatientName": "NEW^NAME", "PatientID": "A1", "IssuerOfPatientID": "HOSP",
              "PatientBirthDate": "19700102", "PatientSex": "M",
              "CurrentPatientLocation": "WARD2 201"}
PATIENT_ENTRIES = {
    "ACC9101": UPDATED_A1, "ACC9102": UPDATED_A1,
    "ACC9201": {"PatientName": "SURVIVOR^PAT", "PatientID": "S1", "IssuerOfPatientID": "HOSP",
                "PatientBirthDate": "19600101", "PatientSex": "M",
                "CurrentPatientLocation": "WARD3 301"},
}
QUERIES_AFTER_ADT = [
    ("updated name", ["PatientName=NEW^NAME"], ["ACC9101", "ACC9102"]),
    ("surviving Patient ID", ["PatientID=S1"], ["ACC9201"]),
    ("merged Patient ID", ["PatientID=B1"], []),
    ("old name", ["PatientName=OLD^NAME"], []),
]
# Every attribute of the mapping table, asked back in every query.
RETURN_KEYS = [
    "SpecificCharacterSet", "AccessionNumber", "ReferringPhysicianName", "PatientName",
    "PatientID", "IssuerOfPatientID", "PatientBirthDate", "PatientSex", "StudyInstanceUID",
    "RequestedProcedureDescription", "RequestedProcedureCodeSequence[0].CodeValue",
    "RequestedProcedureCodeSequence[0].CodingSchemeDesignator",
    "RequestedProcedureCodeSequence[0].CodeMeaning", "RequestingPhysician", "AdmissionID",
    "CurrentPatientLocation", "RequestedProcedureID", "RequestedProcedurePriority",
    "PlacerOrderNumberImagingServiceRequest", "FillerOrderNumberImagingServiceRequest",
] + [f"{STEP}[0].{key}" for key in [
    "ScheduledStationAETitle", "ScheduledProcedureStepStartDate",
    "ScheduledProcedureStepStartTime", "Modality", "ScheduledProcedureStepDescription",
    "ScheduledProtocolCodeSequence[0].CodeValue",
    "ScheduledProtocolCodeSequence[0].CodingSchemeDesignator",
    "ScheduledProtocolCodeSequence[0].CodeMeaning", "ScheduledProcedureStepID",
    "ScheduledProcedureStepStatus"]]

# What apply makes of each real message file, typed from the documented rules: status, entry
# lines (created or replaced), ignored lines, rejected lines. Files are applied in name order
# into one folder, so 09 (the same order as 08) replaces 08's entry.
REAL_OUTCOMES = {
    "01-mesa-orm-o01-v231.hl7": (0, 1, 0, 0),  # no date anywhere: dated by the clock
    "02-mesa-omi-o23-veterinary.hl7": (0, 1, 0, 0),  # OBR-4 empty, the procedure in IPC-6
    "03-mesa-general-order-utf8-zds.hl7": (0, 1, 0, 0),
    "05-hapi-radis1-oru-three-obr-lf.hl7": (1, 0, 0, 1),  # ORU^R01
    "06-hapi-dmcoe-three-orm-one-file-lf.hl7": (0, 1, 2, 0),  # XR and CR change nothing
    "07-hapi-oml-o21-utf8-name-three-obr-cr.hl7": (1, 0, 0, 1),  # OML^O21
    "08-mirth-orm-crlf-obx.hl7": (0, 1, 0, 0),
    "09-mirth-orm-fhs-bhs-batch-crlf.hl7": (0, 1, 0, 0),
    "10-hl7dotnetcore-orm-escapes-crlf.hl7": (0, 1, 0, 0),
    "11-epic-orm-xray-ankle-split-line.hl7": (0, 1, 0, 0),
    "12-athena-oru-tz-offsets.hl7": (1, 0, 0, 1),  # ORU^R01
    "13-cdc-mn-orm-two-obr-no-pv1.hl7": (0, 2, 0, 0),  # same identity, told apart by position
    "14-cdc-oracle-orm-v23-pv1-8859.hl7": (0, 1, 0, 0),
    "15-cdc-epic-orm-cancel-placeholders.hl7": (0, 0, 1, 0),  # a cancel of nothing
}
REAL_ENTRY_FILES = 10  # 01, 02, 03, 06, 08 = 09, 10, 11, 13 twice, 14

ENTRY_NAME = re.compile(r"[A-Za-z0-9._-]{1,125}\.wl")  # at most 128 bytes
DERIVED_UID = re.compile(r"2\.25\.(0|[1-9][0-9]*)")
UID = re.compile(r"(0|[1-9][0-9]*)(\.(0|[1-9][0-9]*))*")
CS_VALUE = re.compile(rb"[A-Z0-9_ ]*")

# pydicom warns about values longer than their VR, which the program writes on purpose.
warnings.filterwarnings("ignore", message="The value length")


# --- The program ---------------------------------------------------------------------------

def apply(options, folder, files):
    """Runs `hl7mwld apply` on `files`; returns its status and, per file, the outcome of each
    output line: [(outcome, rest of the line)]. The local time before and after the run bound
    the clock-dated entries."""
    before = datetime.datetime.now()
    result = run(options.command + ["apply", "--worklist", folder] + STATION_AETS + ["--"]
                 + files, timeout=TIMEOUT)
    after = datetime.datetime.now()
    check(result.stderr == b"" or result.returncode != 0,
          f"apply {files}: status 0 with standard error {result.stderr[-400:]!r}")
    lines = {path: [] for path in files}
    for line in result.stdout.decode("utf-8", "replace").splitlines():
        # file, message number, control ID, outcome, entry file name, then a reason if any
        path, *columns = line.split("\t")
        if check(path in lines and len(columns) >= 4 and columns[2] in OUTCOMES,
                 f"apply: unexpected line {line!r}"):
            lines[path].append((columns[2], line[len(path):]))
    return result.returncode, lines, (before, after)


def outcome_counts(lines):
    kinds = [outcome for outcome, _ in lines]
    return (kinds.count("created") + kinds.count("replaced") + kinds.count("removed"),
            kinds.count("ignored"), kinds.count("rejected"))


# --- The folder ----------------------------------------------------------------------------

def entries_by_accession(folder):
    """{Accession Number: file name} of the folder's .wl files."""
    result = {}
    for name in sorted(os.listdir(folder)):
        if name.endswith(".wl"):
            accession = str(pydicom.dcmread(os.path.join(folder, name)).get("AccessionNumber", ""))
            check(accession not in result, f"{name}: Accession Number {accession} twice")
            result[accession] = name
    return result


def check_folder(folder, label, site_files=()):
    """Only .wl files named as the program names them, lockfile, and the site's files."""
    for name in os.listdir(folder):
        if name in site_files or name in ("hl7mwld-generation", "hl7mwld-journal"):
            continue
        if name == "lockfile":
            # Created 0664, so that a server of the same group can lock it, whatever the umask.
            mode = os.stat(os.path.join(folder, name)).st_mode
            check(mode & 0o660 == 0o660, f"{label}: lockfile mode {oct(mode)}")
            continue
        check(ENTRY_NAME.fullmatch(name) is not None,
              f"{label}: file {name!r} left in the folder or badly named")
    check(os.path.exists(os.path.join(folder, "lockfile")), f"{label}: no lockfile")


def check_file(path, label):
    """A worklist file the program wrote: the two readers agree, the layout and the file meta
    are as required, no value holds a character DICOM reserves."""
    try:
        problems = [f"dcmdump and pydicom differ: {d}"
                    for d in worklist_files.reader_differences(path)]
        problems += worklist_files.layout_problems(path)
    except RuntimeError as error:  # dcmdump's errors and warnings
        check(False, f"{label}: {[str(error)]}")
        return
    meta = pydicom.dcmread(path).file_meta
    if meta.MediaStorageSOPClassUID != "1.2.840.10008.5.1.4.31":
        problems.append(f"SOP class {meta.MediaStorageSOPClassUID}")
    if meta.TransferSyntaxUID != "1.2.840.10008.1.2.1":
        problems.append(f"transfer syntax {meta.TransferSyntaxUID}")
    if not DERIVED_UID.fullmatch(meta.MediaStorageSOPInstanceUID) \
            or len(meta.MediaStorageSOPInstanceUID) > 64:
        problems.append(f"SOP instance UID {meta.MediaStorageSOPInstanceUID}")
    if not str(meta.ImplementationClassUID).startswith("2.25."):
        problems.append(f"implementation class UID {meta.ImplementationClassUID}")
    elements, _ = worklist_files.pydicom_elements(path)
    for key, (vr, value) in elements.items():
        if vr == "SQ" or key.startswith("(0002,"):
            continue
        if any(b < 0x20 or b == 0x7F for b in value) or b"\\" in value:
            problems.append(f"{key}: control byte or backslash in {value!r}")
        if vr == "CS" and not CS_VALUE.fullmatch(value):
            problems.append(f"{key}: CS value {value!r}")
        if vr == "UI" and (not UID.fullmatch(value.decode("latin-1")) or len(value) > 64):
            problems.append(f"{key}: UID {value!r}")
    try:
        worklist_files.decoded_values(pydicom.dcmread(path))
    except ValueError as error:  # text that does not decode in the file's character set
        problems.append(str(error))
    check(not problems, f"{label}: {problems}")


def same_but_clock(old_path, new_path, clock, label):
    """A second apply changes no byte of an entry, unless its start came from the clock: then
    the start date and time alone differ, and they are the run's."""
    with open(old_path, "rb") as old, open(new_path, "rb") as new:
        if old.read() == new.read():
            return
    old_elements, _ = worklist_files.pydicom_elements(old_path)
    new_elements, _ = worklist_files.pydicom_elements(new_path)
    start = [f"(0040,0100)[0]/(0040,000{n})" for n in (2, 3)]
    differing = {k for k in set(old_elements) | set(new_elements)
                 if old_elements.get(k) != new_elements.get(k)}
    if check(differing <= set(start), f"{label}: second apply changed {sorted(differing)}"):
        date, time = (new_elements[k][1].decode("ascii") for k in start)
        check(clock_value_fits(date, time, clock), f"{label}: changed start {date} {time}")


def clock_value_fits(date, time, clock):
    """Whether the start date and time (HH, HHMM or HHMMSS, a fraction after it) can be a
    moment between clock = (before the run, after the run)."""
    before, after = clock
    digits = time.split(".")[0]
    steps = {2: datetime.timedelta(hours=1), 4: datetime.timedelta(minutes=1),
             6: datetime.timedelta(seconds=1)}
    if len(digits) not in steps:
        return False
    try:
        earliest = datetime.datetime.strptime(date + digits.ljust(6, "0"), "%Y%m%d%H%M%S")
    except ValueError:
        return False
    return before < earliest + steps[len(digits)] and earliest <= after


# --- Expected values -----------------------------------------------------------------------

def differences(expected, found, strict, path=""):
    """How `found` (decoded values of a file or an answer) differs from `expected`. strict:
    a file, where ABSENT means no element; otherwise a server's answer, where ABSENT and ""
    both match a missing or empty value."""
    result = []
    for key, want in expected.items():
        got = found.get(key)
        where = f"{path}{key}"
        if isinstance(want, list):
            if not isinstance(got, list) or len(got) != len(want):
                result.append(f"{where}: {got!r}, expected {len(want)} item(s)")
                continue
            for index, (item_want, item_got) in enumerate(zip(want, got)):
                result += differences(item_want, item_got, strict, f"{where}[{index}].")
        elif want is ABSENT:
            if (got is not None) if strict else got not in (None, "", []):
                result.append(f"{where}: {got!r}, expected no element")
        elif want == DERIVED:
            if got is None or DERIVED_UID.fullmatch(got) is None or len(got) > 64:
                result.append(f"{where}: {got!r}, expected a UID under 2.25")
        elif want == CLOCK:
            pass  # checked with the date and time together, in check_clock
        elif (got or "") != want:
            result.append(f"{where}: {got!r}, expected {want!r}")
    return result


def check_clock(expected, found, clock, label):
    item_want, item_got = expected[STEP][0], (found.get(STEP) or [{}])[0]
    if item_want["ScheduledProcedureStepStartDate"] == CLOCK:
        date = item_got.get("ScheduledProcedureStepStartDate", "")
        time = item_got.get("ScheduledProcedureStepStartTime", "")
        check(clock_value_fits(date, time, clock), f"{label}: clock start {date} {time}")


def resolved(expected, found):
    """`expected` with DERIVED and CLOCK replaced by the values of `found` (the file)."""
    if isinstance(expected, list):
        return [resolved(w, f) for w, f in zip(expected, found or [])]
    if isinstance(expected, dict):
        return {k: resolved(w, (found or {}).get(k)) for k, w in expected.items()}
    return found if expected in (DERIVED, CLOCK) else expected


def check_entries(folder, expected, clock, label, site_files=()):
    """The folder holds exactly the expected entries, each with the expected values; returns
    their decoded values by Accession Number."""
    names = entries_by_accession(folder)
    check(sorted(names) == sorted(expected), f"{label}: entries {sorted(names)}, "
          f"expected {sorted(expected)}")
    values = {}
    for accession, name in names.items():
        path = os.path.join(folder, name)
        if name not in site_files:
            check_file(path, f"{label} {accession}")
        try:
            values[accession] = worklist_files.decoded_values(pydicom.dcmread(path))
        except ValueError as error:
            check(False, f"{label} {accession}: {error}")
            continue
        if accession in expected:
            wrong = differences(expected[accession], values[accession], True)
            check(not wrong, f"{label} {accession}: {wrong}")
            check_clock(expected[accession], values[accession], clock, f"{label} {accession}")
    uids = [v["StudyInstanceUID"] for v in values.values()]
    check(len(set(uids)) == len(uids), f"{label}: Study Instance UIDs repeat: {uids}")
    return values


# Type 2 keys of the Modality Worklist information model (PS3.4 Table K.6-1) that an entry
# holds empty when the message has no source: both servers must return them.
TYPE_2_KEYS = ["PatientWeight", "MedicalAlerts", "Allergies", "PregnancyStatus", "SpecialNeeds",
               "PatientState", "PatientTransportArrangements",
               "ConfidentialityConstraintOnPatientDataDescription", "ReferencedStudySequence",
               "ReferencedPatientSequence"]
TYPE_2_STEP_KEYS = ["ScheduledPerformingPhysicianName", "ScheduledStationName",
                    "ScheduledProcedureStepLocation"]


def check_type_2_keys(server, work, label):
    """An entry whose message gives none of them still answers every Type 2 key, empty."""
    keys = (["AccessionNumber=ACC3001"] + TYPE_2_KEYS
            + [f"{STEP}[0].{key}" for key in TYPE_2_STEP_KEYS])
    try:
        found = worklist_servers.find_worklist(server, keys, work)
    except RuntimeError as error:
        check(False, f"{label} {server.name} Type 2 keys: {error}")
        return
    missing = [k for k in TYPE_2_KEYS if not found or k not in found[0]]
    step = (found[0].get(STEP) or [{}])[0] if found else {}
    missing += [f"{STEP}.{k}" for k in TYPE_2_STEP_KEYS if k not in step]
    check(len(found) == 1 and not missing,
          f"{label} {server.name} Type 2 keys: {len(found)} answers, missing {missing}")


def check_queries(server, queries, files, work, label):
    """Each query finds exactly its entries, with the values of their files."""
    for query_label, keys, want in queries:
        returned = [k for k in RETURN_KEYS
                    if not any((q if isinstance(q, str) else q.decode("latin-1"))
                               .startswith(k + "=") for q in keys)]
        try:
            found = worklist_servers.find_worklist(server, returned + keys, work)
        except RuntimeError as error:
            check(False, f"{label} {server.name} {query_label}: {error}")
            continue
        accessions = sorted(e.get("AccessionNumber", "") for e in found)
        check(accessions == sorted(want),
              f"{label} {server.name} {query_label}: found {accessions}, expected {sorted(want)}")
        for entry in found:
            accession = entry.get("AccessionNumber", "")
            if accession not in files:
                continue
            expected = resolved(files[accession][0], files[accession][1])
            # wlmscpfs -csk answers in the file's character set, Orthanc always in UTF-8.
            if server.name == "orthanc":
                expected["SpecificCharacterSet"] = "ISO_IR 192"
            wrong = differences(expected, entry, False)
            check(not wrong, f"{label} {server.name} {query_label} {accession}: {wrong}")
    print(f"ok   {label}: {len(queries)} queries in {server.name}")


def dataset_of(values):
    """A pydicom data set holding `values` (keyword: value or list of item dicts)."""
    dataset = pydicom.Dataset()
    for key, value in values.items():
        if isinstance(value, list):
            setattr(dataset, key, [dataset_of(item) for item in value])
        elif value is not ABSENT:
            setattr(dataset, key, value)
    return dataset


def make_site_files(folder):
    """The site's own files in the folder, its complete entry written by pydicom; returns
    {name: bytes}."""
    dataset = dataset_of(SITE_ENTRY)
    dataset.file_meta = pydicom.dataset.FileMetaDataset()
    dataset.file_meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.31"
    dataset.file_meta.MediaStorageSOPInstanceUID = "2.25.555555555555555555555"
    dataset.file_meta.TransferSyntaxUID = "1.2.840.10008.1.2.1"
    dataset.is_little_endian, dataset.is_implicit_VR = True, False
    dataset.save_as(os.path.join(folder, "site-own.wl"), write_like_original=False)
    with open(os.path.join(folder, "site-notes.txt"), "wb") as f:
        f.write(b"the site's own file\n")
    return folder_files(folder)


# --- The runs ------------------------------------------------------------------------------

def check_reapply(options, folder, runs, work, label):
    """Applies each list of files of `runs` again: the folder keeps its names and bytes, except
    the start of clock-dated entries. Returns each run's (status, lines)."""
    before = folder_files(folder)
    started = datetime.datetime.now()
    results = [apply(options, folder, files)[:2] for files in runs]
    clock = (started, datetime.datetime.now())
    after = folder_files(folder)
    check(sorted(before) == sorted(after), f"{label}: names {sorted(before)} became "
          f"{sorted(after)}")
    with tempfile.TemporaryDirectory(dir=work) as old:
        for name in sorted(set(before) & set(after)):
            if name.endswith(".wl"):
                with open(os.path.join(old, name), "wb") as f:
                    f.write(before[name])
                same_but_clock(os.path.join(old, name), os.path.join(folder, name), clock,
                               f"{label} {name}")
    return results, clock


def own_messages(options, work):
    data = os.path.join(options.data, "mwld")
    parent = os.path.join(work, "db")
    folder = os.path.join(parent, AE_TITLE)
    os.makedirs(folder)  # no lockfile: the program creates it
    site = make_site_files(folder)
    expected = dict(EXPECTED, **{"SITE-ACC-1": SITE_ENTRY})
    first = [os.path.join(data, name) for name in FIRST_FILES]
    rejected = os.path.join(data, REJECTED_FILE)
    changes = os.path.join(data, CHANGES_FILE)

    status, lines, clock = apply(options, folder, first)
    check(status == 0, f"first apply: status {status}")
    check([outcome_counts(lines[p]) for p in first] == [(1, 0, 0), (2, 0, 0), (2, 0, 0),
                                                        (1, 0, 0)], f"first apply: {lines}")
    long_lines = [rest for _, rest in lines[first[3]]]
    check(any("OBR-18" in rest and "kept whole" in rest for rest in long_lines),
          f"the long Accession Number is not reported: {long_lines}")
    status, lines, _ = apply(options, folder, [rejected])
    check(status == 1, f"rejected file: status {status}")
    kinds = [(outcome, "OBR-4" in rest) for outcome, rest in lines[rejected]]
    check(kinds == [("rejected", True), ("created", False)], f"rejected file: {lines[rejected]}")
    check_folder(folder, "first files", site)
    values = check_entries(folder, expected, clock, "first files", site)
    print(f"ok   {len(values)} entries written and read back by two readers")

    # An entry written again with the same bytes is reported as "replaced".
    results, clock_again = check_reapply(options, folder, [first, [rejected]], work,
                                         "second apply")
    check([status for status, _ in results] == [0, 1], f"second apply: {results}")
    check([o for p in first for o, _ in results[0][1][p]] == ["replaced"] * 6
          and [o for o, _ in results[1][1][rejected]] == ["rejected", "replaced"],
          f"second apply: {results}")
    values = check_entries(folder, expected, (clock[0], clock_again[1]), "second apply", site)
    print("ok   a second apply changed no entry but the clock-dated one")

    files = {a: (expected[a], values[a]) for a in values if a in expected}
    with worklist_servers.serving(
            worklist_servers.start_wlmscpfs(parent, AE_TITLE, work)) as dcmtk, \
         worklist_servers.serving(worklist_servers.start_orthanc(folder, work)) as orthanc:
        for server in (dcmtk, orthanc):
            check_queries(server, QUERIES, files, work, "first files")
            check_type_2_keys(server, work, "first files")

        # The servers read the folder at each query: the changes show without a restart.
        names_before = entries_by_accession(folder)
        # The cancel finds its entries as DCMTK may rewrite them: undefined lengths, and
        # Implicit VR with group lengths.
        for accession, how in (("ACC3001", ["-e"]), ("ACC3002", ["-e", "+ti", "+g"])):
            path, rewritten = os.path.join(folder, names_before[accession]), os.path.join(work, "x")
            check(run(["dcmconv"] + how + [path, rewritten]).returncode == 0, f"dcmconv {how}")
            os.replace(rewritten, path)
        status, lines, _ = apply(options, folder, [changes])
        check(status == 0, f"changes: status {status}")
        check([o for o, _ in lines[changes]] == ["replaced", "removed", "removed"],
              f"changes: {lines[changes]}")
        names_after = entries_by_accession(folder)
        check(names_after.get("ACC1001") == names_before.get("ACC1001"),
              "the XO did not replace the entry under its name")
        check(sorted(names_after) == sorted(set(names_before) - {"ACC3001", "ACC3002"}),
              f"the cancel left {sorted(names_after)}")
        changed = dict(expected, ACC1001=CHANGED_1001)
        del changed["ACC3001"], changed["ACC3002"]
        values = check_entries(folder, changed, (clock[0], clock_again[1]), "after the changes",
                               site)
        files = {a: (changed[a], values[a]) for a in values if a in changed}
        for server in (dcmtk, orthanc):
            check_queries(server, QUERIES_AFTER_CHANGES, files, work, "after the changes")

    # Again: the XO writes the same bytes, the cancel finds nothing left to remove.
    results, _ = check_reapply(options, folder, [[changes]], work, "changes again")
    check(results[0][0] == 0 and [o for o, _ in results[0][1][changes]] == ["replaced", "ignored"],
          f"changes again: {results}")
    check({n: b for n, b in folder_files(folder).items() if n in site} == site,
          "the site's own files were changed")


def patient_changes(options, work):
    """Orders of two patients, then an update of one and a merge of the other, in a folder of
    their own: both servers find the entries by the new names and IDs, none by the old."""
    parent = os.path.join(work, "patients")
    folder = os.path.join(parent, PATIENT_AE_TITLE)
    os.makedirs(folder)
    path = os.path.join(options.data, "mwld", PATIENT_FILE)
    status, lines, _ = apply(options, folder, [path])
    check(status == 0 and [o for o, _ in lines[path]] == ["created"] * 3 + ["updated"] * 3,
          f"patient changes: status {status}, {lines[path]}")
    names = entries_by_accession(folder)
    for accession in PATIENT_ENTRIES:
        if check(accession in names, f"patient changes: no entry {accession}"):
            check_file(os.path.join(folder, names[accession]), f"patient changes {accession}")
    files = {a: (want, {}) for a, want in PATIENT_ENTRIES.items()}
    with worklist_servers.serving(
            worklist_servers.start_wlmscpfs(parent, PATIENT_AE_TITLE, work)) as dcmtk, \
         worklist_servers.serving(
            worklist_servers.start_orthanc(folder, work, THIRD_ORTHANC_PORT)) as orthanc:
        for server in (dcmtk, orthanc):
            check_queries(server, QUERIES_AFTER_ADT, files, work, "patient changes")


def real_messages(options, work):
    parent = os.path.join(work, "real")
    folder = os.path.join(parent, REAL_AE_TITLE)
    os.makedirs(folder)
    paths = sorted(os.path.join(options.real_messages, name)
                   for name in os.listdir(options.real_messages) if name.endswith(".hl7"))
    check(len(paths) >= len(REAL_OUTCOMES), f"real messages: {len(paths)} files")
    statuses = []
    for path in paths:
        status, lines, _ = apply(options, folder, [path])
        statuses.append(status)
        name = os.path.basename(path)
        for outcome, rest in lines[path]:  # for the record of what each message became
            print(f"     {name}{rest}")
        if name in REAL_OUTCOMES:
            got = (status,) + outcome_counts(lines[path])
            check(got == REAL_OUTCOMES[name], f"{name}: status and outcomes {got}, "
                  f"expected {REAL_OUTCOMES[name]}")
        else:
            check(status in (0, 1), f"{name}: status {status}")
    check_folder(folder, "real messages")
    names = sorted(n for n in os.listdir(folder) if n.endswith(".wl"))
    check(len(names) == REAL_ENTRY_FILES, f"real messages: {len(names)} entries")
    for name in names:
        check_file(os.path.join(folder, name), f"real {name}")

    results, _ = check_reapply(options, folder, [[path] for path in paths], work,
                               "real messages again")
    check([status for status, _ in results] == statuses, f"real messages again: {results}")

    # Every entry passes wlmscpfs's default file check: a universal query finds them all.
    with worklist_servers.serving(
            worklist_servers.start_wlmscpfs(parent, REAL_AE_TITLE, work)) as dcmtk, \
         worklist_servers.serving(
            worklist_servers.start_orthanc(folder, work, SECOND_ORTHANC_PORT)) as orthanc:
        for server in (dcmtk, orthanc):
            try:
                found = worklist_servers.find_worklist(server, RETURN_KEYS, work)
            except RuntimeError as error:
                check(False, f"real messages: {error}")
                continue
            check(len(found) == len(names), f"real messages: {server.name} serves {len(found)} "
                  f"of {len(names)} entries")
    print(f"ok   {len(paths)} real message files, {len(names)} entries served by both servers")


def inside(options):
    with tempfile.TemporaryDirectory() as work:
        phases = [own_messages, patient_changes]
        if os.path.isdir(options.real_messages):
            phases.append(real_messages)
        else:  # they are not part of the repository, but beside it where it is developed
            print(f"SKIP the real messages: no folder {options.real_messages}")
        for phase in phases:
            guarded(phase, options, work)
    return summary()


def main():
    options = parse_options(
        __doc__.splitlines()[0], ("--data", "folder holding mwld/ with the messages"),
        ("--real-messages", "folder of real messages, read in place",
         os.path.join(REPOSITORY, "..", "shared", "real-messages")))
    if not os.path.isfile(options.command[-1]):
        print(f"FAIL no program at {options.command[-1]}")
        return 1
    if tools_missing(("dcmdump", "wlmscpfs", "findscu", "echoscu", "unshare", "ip"),
                     "dcmtk, iproute2 and util-linux"):
        return 1
    if not os.path.exists(worklist_servers.ORTHANC):
        print(f"FAIL {worklist_servers.ORTHANC} not found (install orthanc)")
        return 1
    return in_namespaces(inside, options)


if __name__ == "__main__":
    sys.exit(main())
