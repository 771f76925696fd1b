#!/usr/bin/env python3
"""Checks a built Windows program without running it (the 32-bit one
cannot run here): GUI subsystem, MAINDIALOGPROC and RTFADIALOGPROC exported
by those names, the viewer's resources,
nothing imported but system DLLs, and product version 2.1.0.1 in the
version block.

usage: check_program_image.py OBJDUMP PROGRAM.exe
"""
import re
import struct
import subprocess
import sys

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "comdlg32.dll",
               "version.dll", "msvcrt.dll", "advapi32.dll", "shell32.dll"}


def main():
    objdump, program = sys.argv[1], sys.argv[2]
    headers = subprocess.run([objdump, "-p", program], check=True, capture_output=True,
                             text=True).stdout
    problems = []

    if not re.search(r"^Subsystem\s+00000002\s+\(Windows GUI\)", headers, re.M):
        problems.append("not a GUI-subsystem program")

    table = headers.split("[Ordinal/Name Pointer] Table", 1)
    names = re.findall(r"^\s*\[\s*\d+\]\s+(\S+)\s*$", table[1].split("\n\n", 1)[0], re.M) \
        if len(table) == 2 else []
    if sorted(names) != ["MAINDIALOGPROC", "RTFADIALOGPROC"]:
        problems.append("exported names are %r, not MAINDIALOGPROC and RTFADIALOGPROC" % names)

    dlls = {d.lower() for d in re.findall(r"DLL Name: (\S+)", headers)}
    foreign = sorted(dlls - SYSTEM_DLLS)
    if foreign:
        problems.append("imports DLLs that Windows does not provide: %s" % ", ".join(foreign))

    image = open(program, "rb").read()
    at = image.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        problems.append("no version block")
    else:
        (_, _, _, _, product_ms, product_ls) = struct.unpack_from("<6I", image, at)
        version = (product_ms >> 16, product_ms & 0xFFFF, product_ls >> 16, product_ls & 0xFFFF)
        if version != (2, 1, 0, 1):
            problems.append("product version %d.%d.%d.%d, not 2.1.0.1" % version)
    for name in ("MAIN", "PROGRAM", "RTFABOUT", "RTFLOGO", "INFO"):
        if name.encode("utf-16-le") not in image:
            problems.append("no resource named %s" % name)

    for problem in problems:
        print("FAIL: " + problem)
    if not problems:
        print("%s: GUI program, exports MAINDIALOGPROC and RTFADIALOGPROC, imports %s, product version 2.1.0.1"
              % (program, ", ".join(sorted(dlls))))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
