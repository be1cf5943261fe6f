#!/usr/bin/env python3
"""Writes vostrel-cli's manual page (gzipped) from what the program itself says: the description,
usage, options, subcommands and signals of `vostrel-cli --help`, the options that only a
subcommand takes from `vostrel-cli SUBCOMMAND --help`, the version of `--version`, and the exit
statuses with their comments from cli/CliStatus.h. The output is byte-for-byte reproducible.

    make-manpage.py VOSTREL_CLI CLISTATUS_H OUTPUT.1.gz
"""
import gzip
import re
import subprocess
import sys

NAME = "vostrel-cli"


def fail(message):
    sys.exit("make-manpage: " + message)


def run(program, *arguments):
    result = subprocess.run([program, *arguments], capture_output=True, text=True, timeout=30)
    if result.returncode != 0:
        fail("%s %s exited with %d: %s" % (program, " ".join(arguments), result.returncode,
                                           result.stderr.strip()))
    return result.stdout


def roff(text):
    """Text for a roff line: backslashes and hyphens escaped, no request at its start."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text[:1] in (".", "'") else text


def parse_help(text, command=NAME):
    """(description, usage, {section: [(entry, description, excludes)]}) of CLI11's help text: the
    program's starts with "vostrel-cli: <description>", a subcommand's with its description alone."""
    lines = text.splitlines()
    if command == NAME:
        if not lines or not lines[0].startswith(NAME + ": "):
            fail("the help text does not start with '%s: ': %r" % (NAME, lines[:1]))
        description = lines[0][len(NAME) + 2:]
    elif not lines or not lines[0].strip():
        fail("%s --help does not start with its description" % command)
    else:
        description = lines[0]
    usage = None
    sections = {}
    section = None
    for line in lines[1:]:
        if not line.strip():
            continue
        if line.startswith("Usage: "):
            # The program's own path is in the usage line; the page names the installed command.
            usage = re.sub(r"^\S+", NAME, line[len("Usage: "):].strip())
        elif re.match(r"^\S.*:$", line):
            section = line[:-1]
            sections[section] = []
        elif section is None:
            fail("cannot read the help line %r" % line)
        elif re.match(r"^  \S", line):
            entry, _, rest = line.strip().partition("  ")
            entry, _, excludes = entry.strip().partition(" Excludes: ")
            sections[section].append([entry, rest.strip(), excludes])
        elif sections[section]:   # an entry's description, on lines of its own
            sections[section][-1][1] = (sections[section][-1][1] + " " + line.strip()).strip()
        else:
            fail("cannot read the help line %r" % line)
    if usage is None or "Options" not in sections or (command == NAME and "Subcommands" not in sections):
        fail("the help text of %s lacks its usage, options or subcommands" % command)
    return description, usage, sections


def entries(page, items):
    for entry, text, excludes in items:
        page += [".TP", ".B " + roff(entry), roff(text)]
        if excludes:
            page += [".br", roff("Not together with " + ", ".join(excludes.split()) + ".")]


def parse_statuses(path):
    with open(path, encoding="utf-8") as f:
        statuses = re.findall(r"^\s*kCli\w+\s*=\s*(\d+),\s*//\s*(.+?)\s*$", f.read(), re.M)
    if not statuses:
        fail("%s: no exit statuses found" % path)
    return statuses


def main():
    if len(sys.argv) != 4:
        fail("usage: make-manpage.py VOSTREL_CLI CLISTATUS_H OUTPUT.1.gz")
    program, status_header, out_path = sys.argv[1:4]
    description, usage, sections = parse_help(run(program, "--help"))
    version = run(program, "--version").strip()
    if not version.startswith(NAME + " "):
        fail("unexpected --version output %r" % version)

    page = ['.TH %s 1 "" "%s" "User Commands"' % (roff(NAME.upper()), roff(version)),
            ".SH NAME", "%s \\- %s" % (roff(NAME), roff(description)),
            ".SH SYNOPSIS", ".B " + roff(NAME), roff(usage[len(NAME):].strip()),
            ".SH DESCRIPTION", roff(description[:1].upper() + description[1:] + ".")]
    # Each subcommand with the options that only it takes (its own help option aside; its help
    # lists the program's options that it takes too, which the OPTIONS section has).
    page.append(".SH SUBCOMMANDS")
    program_options = {item[0] for item in sections["Options"]}
    for entry, text, _ in sections["Subcommands"]:
        page += [".TP", ".B " + roff(entry), roff(text)]
        _, _, own = parse_help(run(program, entry, "--help"), entry)
        options = [item for item in own["Options"]
                   if not item[0].startswith("-h,") and item[0] not in program_options]
        if options:
            page.append(".RS")
            entries(page, options)
            page.append(".RE")
    page.append(".SH OPTIONS")
    entries(page, sections["Options"])
    # The signals that stop a run as Ctrl-C does: "Signals (what they do):" and one line each.
    for section, items in sections.items():
        if section.startswith("Signals"):
            what = section[len("Signals"):].strip(" ():")
            page += [".SH SIGNALS", roff(what[:1].upper() + what[1:] + ".")]
            entries(page, items)
    page += [".SH EXIT STATUS"]
    for number, text in parse_statuses(status_header):
        page += [".TP", ".B " + number, roff(text)]
    page.append("")

    with open(out_path, "wb") as raw:
        with gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0, compresslevel=9) as out:
            out.write("\n".join(page).encode("utf-8"))


if __name__ == "__main__":
    main()
