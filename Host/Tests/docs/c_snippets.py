#!/usr/bin/env python3
"""Compiles every C block of the given Markdown pages warning-free, as a reader
would paste it: C99, -Wall -Wextra -Werror. A block that places flash with
FLASH_START is compiled again with flash at address 0, the layout the pages
say it also serves.

Usage: c_snippets.py COMPILER INCLUDE_DIR PAGE...
"""
import re
import subprocess
import sys


def Compile(compiler, include, source, name):
    command = [compiler, "-std=c99", "-pedantic", "-Wall", "-Wextra", "-Werror",
               "-I", include, "-x", "c", "-c", "-o", "/dev/null", "-"]
    run = subprocess.run(command, input=source, capture_output=True, text=True)
    if run.returncode != 0:
        print(f"{name}:\n{run.stdout}{run.stderr}")
    return run.returncode == 0


def Main(compiler, include, pages):
    ok, blocks = True, 0
    for page in pages:
        with open(page, encoding="utf-8") as file:
            text = file.read()
        for number, block in enumerate(re.findall(r"^```c\n(.*?)^```", text, re.S | re.M), 1):
            blocks += 1
            name = f"{page}, C block {number}"
            ok &= Compile(compiler, include, block, name)
            atZero = re.sub(r"^#define FLASH_START .*$", "#define FLASH_START 0x00000000u",
                            block, flags=re.M)
            if atZero != block:
                ok &= Compile(compiler, include, atZero, name + " with flash at 0")
    if blocks == 0:
        print("no C block found")
    return 0 if ok and blocks else 1


if __name__ == "__main__":
    sys.exit(Main(sys.argv[1], sys.argv[2], sys.argv[3:]))
