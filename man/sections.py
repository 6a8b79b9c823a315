#!/usr/bin/env python3
"""Keeps the manual pages and the docs pages saying the same thing.

The exit table of docs/<tool>.md is the one source of each tool's exit codes and
messages: this script writes it into the EXIT STATUS section of man/<tool>.1
(from the section's first .TP on; the lines before it stay as written).

  python3 man/sections.py             rewrite the man pages' EXIT STATUS sections
  python3 man/sections.py --check [Tool=path ...]
                                      fail if a man page differs from what would be
                                      written, if the options in the docs' usage
                                      block, the man page and the tool's own usage
                                      disagree, or if a documented message is not
                                      in the tool as given
"""
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TOOLS = ("Velmark", "Velcheck", "Tervox")
# Words that stand for what a message fills in at run time.
PLACEHOLDERS = r"0xADDRESS|ADDRESS|REASON|NAME|\.\.\.|\b[PLENnk]\b|\d+"


def FindExitTable(markdown):
    """The rows of the first table whose header has an Exit column, as dicts."""
    lines = markdown.split("\n")
    for index, line in enumerate(lines):
        cells = SplitRow(line)
        if cells and cells[0] == "Exit":
            rows = []
            for row in lines[index + 2:]:
                if not row.startswith("|"):
                    break
                rows.append(dict(zip(cells, SplitRow(row))))
            return cells, rows
    raise SystemExit("no table with an Exit column")


def SplitRow(line):
    if not line.startswith("|"):
        return None
    # A | inside a code span belongs to the cell.
    cells, current, inCode = [], "", False
    for char in line.strip()[1:-1]:
        if char == "`":
            inCode = not inCode
        if char == "|" and not inCode:
            cells.append(current.strip())
            current = ""
        else:
            current += char
    cells.append(current.strip())
    return cells


def EscapeRoff(text):
    text = text.replace("\\", "\\e").replace("\u2212", "\\-").replace("\u00d7", "\\(mu")
    return text


def ConvertInline(markdown):
    """Markdown cell text to roff: code and bold in bold, links as their text."""
    markdown = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", markdown)
    parts = re.split(r"(`[^`]*`|\*\*[^*]*\*\*)", markdown)
    out = ""
    for part in parts:
        if part.startswith("`") or part.startswith("**"):
            inner = part.strip("`*")
            out += "\\fB" + EscapeRoff(inner).replace("-", "\\-") + "\\fR"
        else:
            out += EscapeRoff(part)
    return out


def FormatEntries(header, rows):
    lines = []
    for row in rows:
        lines += [".TP", ".B " + row["Exit"]]
        message = row.get("Message", row.get("Output", ""))
        text = ConvertInline(row["When"])
        for column in header:
            if column not in ("Exit", "Message", "Output", "When"):
                text += ";\n" + column.lower() + ": " + ConvertInline(row[column])
        text = text[:1].upper() + text[1:] + ("" if text.endswith(".") else ".")
        if message and message != "none":
            text = ConvertInline(message) + "\n.br\n" + text
        for line in text.split("\n"):
            protect = line != ".br" and line.startswith((".", "'"))
            lines.append("\\&" + line if protect else line)
    return lines


def ReplaceExitStatus(page, entries):
    lines = page.split("\n")
    start = lines.index(".SH EXIT STATUS")
    end = next(i for i in range(start + 1, len(lines)) if lines[i].startswith(".SH "))
    first = next((i for i in range(start, end) if lines[i] == ".TP"), end)
    return "\n".join(lines[:first] + entries + lines[end:])


def ReadDocs(tool):
    return (ROOT / "docs" / (tool.lower() + ".md")).read_text()


def ExpectedPage(tool):
    header, rows = FindExitTable(ReadDocs(tool))
    page = (ROOT / "man" / (tool + ".1")).read_text()
    return page, ReplaceExitStatus(page, FormatEntries(header, rows))


def FindOptions(text):
    return set(re.findall(r"(?<![\w-])-([a-zA-Z])(?![a-z0-9])", text))


def ManSection(page, names):
    text, keep = "", False
    for line in page.split("\n"):
        if line.startswith(".SH "):
            keep = line[4:] in names
        elif keep:
            text += line + "\n"
    return re.sub(r"\\f[BIRP]", "", text).replace("\\-", "-")


def CheckTool(tool, binary, failures):
    docs = ReadDocs(tool)
    usage = re.search(r"```\n(.*?)```", docs, re.S).group(1)
    page = (ROOT / "man" / (tool + ".1")).read_text()
    manOptions = FindOptions(ManSection(page, ("SYNOPSIS", "OPTIONS")))
    run = subprocess.run([binary], capture_output=True, text=True)
    toolUsage = run.stdout + run.stderr
    if usage.split("\n")[0] not in toolUsage:
        failures.append(f"{tool}: the docs' usage line is not what the tool prints:\n{toolUsage}")
    if not FindOptions(usage) == manOptions == FindOptions(toolUsage):
        failures.append(f"{tool}: options differ: docs {sorted(FindOptions(usage))}, "
                        f"man {sorted(manOptions)}, tool {sorted(FindOptions(toolUsage))}")
    content = Path(binary).read_bytes()
    for row in FindExitTable(docs)[1]:
        for span in re.findall(r"`([^`]*)`", row.get("Message", row.get("Output", ""))):
            # Between placeholders, each clause must be in the tool as written; a
            # message may be printed in parts, its punctuation by the format.
            for piece in re.split(PLACEHOLDERS + r"|[:;.!,()]+(?:\s+|$)|\s+\(", span):
                if len(piece.strip()) >= 3 and piece.strip().encode() not in content:
                    failures.append(f"{tool}: documented message `{span}`: "
                                    f"'{piece}' is not in {binary}")


def Main(arguments):
    check = arguments[:1] == ["--check"]
    binaries = dict(argument.split("=", 1) for argument in arguments[1:])
    failures = []
    for tool in TOOLS:
        page, expected = ExpectedPage(tool)
        if not check:
            (ROOT / "man" / (tool + ".1")).write_text(expected)
            continue
        if page != expected:
            failures.append(f"man/{tool}.1: EXIT STATUS differs from docs/{tool.lower()}.md; "
                            "run python3 man/sections.py")
        if tool in binaries:
            CheckTool(tool, binaries[tool], failures)
    print("\n".join(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(Main(sys.argv[1:]))
