#!/usr/bin/env python3
"""Generates realistic ORM^O01 new-order messages for the hl7mwld benchmarks.

Each message is a distinct order (its own placer, filler and accession numbers) of one of a
few hundred patients, as a radiology information system sends them: MSH, PID, PV1, ORC, OBR
with a procedure and protocol code, and a note. Writes, into FOLDER:
  orders/NNNNN.hl7  one message per file, segments ended by LF (hl7mwl reads only LF)
  orders.hl7        the same messages, one after the other, in one file
  orders.mllp       the same messages in MLLP frames, segments ended by CR (the wire form)
"""
import argparse
import os

FAMILIES = ["MÜLLER", "SMITH", "GARCÍA", "NGUYEN", "O'BRIEN", "KOWALSKI", "JOHANSSON",
            "ROSSI", "DUBOIS", "PETERSEN", "NOVAK", "SILVA", "FISCHER", "BROWN", "WAGNER"]
GIVENS = ["ANNA", "JÖRG", "MARIA", "JOHN", "LUCÍA", "PETER", "HELENA", "TOMÁS", "SARA",
          "DAVID", "EVA", "MARC", "INGRID", "PAUL"]
# code, text, modality, protocol code, protocol text
PROCEDURES = [
    ("CTHEAD", "CT HEAD W/O CONTRAST", "CT", "CTH1", "HEAD PLAIN"),
    ("CTCHEST", "CT CHEST WITH CONTRAST", "CT", "CTC2", "CHEST ARTERIAL PHASE"),
    ("MRKNEE", "MRI KNEE RIGHT", "MR", "MRK1", "KNEE ROUTINE"),
    ("MRBRAIN", "MRI BRAIN W/&W/O CONTRAST", "MR", "MRB3", "BRAIN TUMOUR"),
    ("XRCHEST", "XR CHEST PA AND LATERAL", "CR", "XRC1", "CHEST TWO VIEWS"),
    ("USABD", "US ABDOMEN COMPLETE", "US", "USA1", "ABDOMEN FASTING"),
    ("MGSCR", "MAMMOGRAPHY SCREENING BILATERAL", "MG", "MGS1", "SCREENING 4 VIEWS"),
]
PRIORITIES = ["R", "R", "R", "S", "A"]


def message(number):
    patient = number % 397
    family = FAMILIES[patient % len(FAMILIES)]
    given = GIVENS[patient % len(GIVENS)]
    code, text, modality, protocol, protocol_text = PROCEDURES[number % len(PROCEDURES)]
    day = 1 + number % 28
    hour, minute = 7 + number % 12, (number * 5) % 60
    sent = f"202503{day:02}{hour:02}{minute:02}00"
    start = f"202504{day:02}{hour:02}{minute:02}00"
    birth = f"19{40 + patient % 60:02}{1 + patient % 12:02}{1 + patient % 28:02}"
    sex = "FM"[patient % 2]
    priority = PRIORITIES[number % len(PRIORITIES)]
    placer, filler = f"PL{number:08}", f"FL{number:08}"
    timing = f"1^ONCE^^{start}^^{priority}"
    return [
        f"MSH|^~\\&|RIS|RADIOLOGY|MWL|IMAGING|{sent}||ORM^O01|MSG{number:08}|P|2.3.1||||||8859/1",
        f"PID|1||P{patient:07}^^^HOSP^MR||{family}^{given}^^^||{birth}|{sex}|||"
        f"{10 + patient} MAIN STREET^^TOWN^ST^{10000 + patient}||(555)555-{patient:04}|||S||"
        f"ACCT{number:08}",
        f"PV1|1|O|RAD^ROOM{1 + number % 9}^1^CITYHOSP|||||5101^NELL^FREDERICK^P^^DR|||RAD|||||||"
        f"|V{number:08}",
        f"ORC|NW|{placer}^RIS|{filler}^PACS||SC||{timing}||{sent}|CLERK^ORDER^ENTRY||"
        f"7101^ESTRADA^JAIME^P^^DR|RAD^^^CITYHOSP|(314)555-1212",
        f"OBR|1|{placer}^RIS|{filler}^PACS|{code}^{text}^LOCALRAD^{protocol}^{protocol_text}"
        f"^LOCALPROT|||{sent}|||||||||7101^ESTRADA^JAIME^P^^DR||ACC{number:08}|RP{number:08}|"
        f"SPS{number:08}||||{modality}|||{timing}",
        "NTE|1||Patient prefers morning appointments\\.br\\Contrast allergy: none known",
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("count", type=int)
    parser.add_argument("folder")
    arguments = parser.parse_args()
    os.makedirs(f"{arguments.folder}/orders", exist_ok=True)
    with open(f"{arguments.folder}/orders.hl7", "wb") as together, \
            open(f"{arguments.folder}/orders.mllp", "wb") as framed:
        for number in range(1, arguments.count + 1):
            segments = [segment.encode("latin-1") for segment in message(number)]
            text = b"\n".join(segments) + b"\n"
            with open(f"{arguments.folder}/orders/{number:05}.hl7", "wb") as single:
                single.write(text)
            together.write(text)
            framed.write(b"\x0b" + b"\r".join(segments) + b"\r\x1c\r")


if __name__ == "__main__":
    main()
