"""The command-line options of the scripts that run the real hl7mwl."""
import argparse
import os
import shlex


def parse_options(description):
    """Options with .command: the emulator's words, if any, then the program's absolute path."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--program", required=True, help="the hl7mwl executable")
    parser.add_argument("--data", required=True, help="folder of test messages and dumps")
    parser.add_argument("--emulator", default="", help="command that runs the program (wine)")
    options = parser.parse_args()
    options.command = shlex.split(options.emulator) + [os.path.abspath(options.program)]
    return options
