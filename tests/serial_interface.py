#!/usr/bin/env python3
"""An interface on the far side of a pseudo-terminal, for run.sh --serial.

Writes the terminal's path to PATH_FILE, answers the identity request (firmware VERSION) and the
state request (10:20:30:00 at 25 frames, read mode) on input cable 0 and logs every System
Exclusive message it receives, one hex line each, to LOG. Runs until killed.
    serial_interface.py PATH_FILE LOG VERSION
"""
import os, sys, tty

path_file, log_path, version = sys.argv[1], sys.argv[2], int(sys.argv[3])
master, slave = os.openpty()
tty.setraw(slave)  # no echo before the device host sets the line up itself
with open(path_file + ".tmp", "w") as f:
    f.write(os.ttyname(slave))
os.rename(path_file + ".tmp", path_file)

digits = f"{version:03d}".encode()  # ASCII digits, hundreds first
replies = {
    0x0B: bytes([0xF0, 0x63, 0x60, 0x7B, 0x00, 0x01, 0x02, 0x00, *digits, 0xF7]),
    0x0C: bytes([0xF0, 0x63, 0x60, 0x7C, 0x01, 1 << 5 | 10, 20, 30, 0, 1, 2, 0xF7]),
}
message = None
with open(log_path, "w", buffering=1) as log:
    while True:
        for byte in os.read(master, 512):
            if byte == 0xF0:
                message = [byte]
            elif message is not None and byte < 0x80:
                message.append(byte)
            elif message is not None and byte == 0xF7:
                message.append(byte)
                log.write(bytes(message).hex(" ").upper() + "\n")
                if len(message) == 6 and message[1:3] == [0x63, 0x60] and message[3] in replies:
                    os.write(master, b"\xF5\x00" + replies[message[3]])
                message = None
            elif byte < 0xF8:
                message = None  # F5 cable selection or another status byte ends it
