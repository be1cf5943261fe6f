#!/usr/bin/env python3
"""Writes the controls of the resource script's dialog templates as C++ table rows, for the headless
window: which controls a template makes, with their initial text, bitmap, visibility and enabled
state. The ids stay symbolic (res/resource.h gives their numbers), so the script is the one copy of
the templates. Usage: dialog-templates.py Vostrel.rc resource.h OUTPUT
"""
import os
import re
import sys

# Ids that windows.h defines; every other id must come from resource.h.
WINDOWS_IDS = {"IDOK": "ui::kIdOk", "IDCANCEL": "ui::kIdCancel"}
# Statements whose first argument is the caption; the others start with the id.
CAPTIONED = {"LTEXT", "CTEXT", "RTEXT", "PUSHBUTTON", "DEFPUSHBUTTON", "GROUPBOX", "ICON", "CHECKBOX",
             "AUTOCHECKBOX", "RADIOBUTTON", "AUTORADIOBUTTON", "STATE3", "AUTO3STATE", "PUSHBOX"}
UNCAPTIONED = {"EDITTEXT", "COMBOBOX", "LISTBOX", "SCROLLBAR"}


def fail(message):
    sys.exit("dialog-templates: " + message)


def split_arguments(text):
    """Splits at the commas outside quotes; quoted strings keep their quotes."""
    parts, current, quoted = [], "", False
    for c in text:
        if c == '"':
            quoted = not quoted
        if c == "," and not quoted:
            parts.append(current.strip())
            current = ""
        else:
            current += c
    parts.append(current.strip())
    return parts


def strip_comment(line):
    """The line without a // comment outside quotes."""
    quoted = False
    for i, c in enumerate(line):
        if c == '"':
            quoted = not quoted
        elif c == "/" and not quoted and line[i:i + 2] == "//":
            return line[:i]
    return line


def unquote(text):
    if not (len(text) >= 2 and text[0] == '"' and text[-1] == '"'):
        return None
    return text[1:-1].replace('""', '"')


def cxx_string(text):
    out = '"'
    for byte in text.encode("utf-8"):
        c = chr(byte)
        if c in '"\\':
            out += "\\" + c
        elif 0x20 <= byte < 0x7F:
            out += c
        else:
            out += "\\%03o" % byte   # octal: never runs into the next character
    return out + '"'


def string_macros(rc_path, lines):
    """The texts that the script's own headers (#include "..." beside it) #define as one string."""
    texts = {}
    folder = os.path.dirname(rc_path)
    for line in lines:
        m = re.match(r'\s*#include\s+"([^"]+)"', line)
        if not m or not os.path.exists(os.path.join(folder, m.group(1))):
            continue
        with open(os.path.join(folder, m.group(1)), encoding="utf-8") as f:
            for name, quoted in re.findall(r'^\s*#define\s+(\w+)\s+("(?:[^"\\]|\\.)*")\s*$', f.read(), re.M):
                texts[name] = quoted[1:-1]
    return texts


def has_style(style, name):
    return re.search(r"(?<!NOT )\b%s\b" % name, style) is not None


def lacks_style(style, name):
    return re.search(r"\bNOT\s+%s\b" % name, style) is not None


def main():
    rc_path, header_path, out_path = sys.argv[1:4]
    with open(header_path, encoding="utf-8") as f:
        defined = set(re.findall(r"^\s*#define\s+(\w+)\s+-?\d+", f.read(), re.M))
    with open(rc_path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    texts = string_macros(rc_path, lines)

    def id_expression(name):
        if name in WINDOWS_IDS:
            return WINDOWS_IDS[name]
        if name not in defined:
            fail("%s: id %s is not defined in %s" % (rc_path, name, header_path))
        return name

    rows = []
    template = None
    in_body = False
    for number, raw in enumerate(lines, 1):
        line = strip_comment(raw).strip()
        if not line:
            continue
        if template is None:
            m = re.match(r"(\w+)\s+DIALOG(EX)?\b", line)
            if m:
                template = id_expression(m.group(1))
                in_body = False
            continue
        if not in_body:
            in_body = line == "BEGIN"
            continue
        if line == "END":
            template = None
            continue
        m = re.match(r"([A-Z0-9]+)\s+(.*)$", line)
        if not m:
            fail("%s:%d: cannot read: %s" % (rc_path, number, raw))
        keyword, args = m.group(1), split_arguments(m.group(2))
        if keyword == "CONTROL":
            caption, name, style = args[0], args[1], args[3]
        elif keyword in CAPTIONED:
            caption, name, style = args[0], args[1], args[6] if len(args) > 6 else ""
        elif keyword in UNCAPTIONED:
            caption, name, style = '""', args[0], args[5] if len(args) > 5 else ""
        else:
            fail("%s:%d: unknown control statement %s" % (rc_path, number, keyword))
        if name in ("IDC_STATIC", "-1"):
            continue   # nobody reaches those by id
        text = unquote(caption)
        if text is None and caption in texts:   # a text the script's own headers define
            text = texts[caption]
        bitmap = "0"
        if text is None:   # a resource shown by the control (a picture's bitmap)
            bitmap = id_expression(caption) if has_style(style, "SS_BITMAP") else "0"
            text = ""
        visible = not lacks_style(style, "WS_VISIBLE")
        enabled = not has_style(style, "WS_DISABLED")
        rows.append("    {%s, %s, %s, %s, %s, %s}," % (template, id_expression(name), cxx_string(text), bitmap,
                                                      "true" if visible else "false", "true" if enabled else "false"))

    content = ("// Generated from %s by tools/dialog-templates.py when the build runs; do not edit.\n"
               "// {template, control, text, bitmap, visible, enabled}\n" % rc_path.rsplit("/", 1)[-1]
               + "\n".join(rows) + "\n")
    try:
        with open(out_path, encoding="utf-8") as f:
            if f.read() == content:
                return
    except OSError:
        pass
    with open(out_path, "w", encoding="utf-8") as f:
        f.write(content)


if __name__ == "__main__":
    main()
