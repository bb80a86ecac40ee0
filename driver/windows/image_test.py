#!/usr/bin/env python3
"""Checks the built VARLO2K.sys against the x64 image rules a kernel expects of a driver:
every function that sets up a stack frame (pushes, moves the stack pointer or calls) has unwind
data in the exception directory, and the export table lists nothing.

Usage: image_test.py OBJDUMP IMAGE
"""
import re
import subprocess
import sys

FRAME = re.compile(r"\s(push|sub\s+\$0x[0-9a-f]+,%rsp|call)\b")


def objdump(tool, *args):
    return subprocess.run([tool, *args], check=True, capture_output=True, text=True).stdout


def main(tool, image):
    problems = []
    headers = objdump(tool, "-p", "-h", image)
    exported = re.search(r"\[Name Pointer/Ordinal\] Table\s+([0-9a-f]+)", headers)
    if exported and int(exported.group(1), 16) != 0:
        problems.append(f"the export table lists {int(exported.group(1), 16)} names")
    unwound = {int(m.group(1), 16) for m in
               re.finditer(r"^\s*[0-9a-f]+:\s+([0-9a-f]+)\s+[0-9a-f]+\s+[0-9a-f]+\s*$",
                           headers.split("Function Table", 1)[-1], re.M)}
    text = re.search(r"\d+ \.text\s+([0-9a-f]+)\s+([0-9a-f]+)", headers)
    text_start, text_end = int(text.group(2), 16), int(text.group(2), 16) + int(text.group(1), 16)

    # Function symbols of .text (section 1 of the image), by address.
    functions = {}
    for m in re.finditer(r"\(sec\s+1\)\(fl 0x00\)\(ty\s+20\)\(scl\s+[23]\) \(nx \d\) 0x([0-9a-f]+) (\S+)",
                         objdump(tool, "-t", image)):
        functions.setdefault(text_start + int(m.group(1), 16), m.group(2))
    if len(functions) < 20:
        problems.append(f"only {len(functions)} function symbols: is the image stripped?")
    starts = sorted(functions) + [text_end]
    for start, end in zip(starts, starts[1:]):
        if start in unwound:
            continue
        body = objdump(tool, "-d", f"--start-address={start:#x}", f"--stop-address={end:#x}", image)
        if FRAME.search(body):
            problems.append(f"{functions[start]} has a stack frame but no unwind data")
    print(f"{len(functions)} functions, {len(unwound)} with unwind data")
    for p in problems:
        print("FAIL:", p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
