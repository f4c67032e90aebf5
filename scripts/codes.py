#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""codes.py -- the page library's result-code tables and ports, made from the C headers.

The C headers hold every result code once: support/codes.h the service's,
adapters/helm/helm.h the PKI adapter's. A code pages see carries a "page"
note right under its enum line:

    KESTROVAN_ERR_GENERAL = 61001,   // what the code means to the service
    // page GENERAL, UnknownSession: What the page library tells a page,
    //   continued on lines of their own.

("// page OK" alone for a code without an error.) From these notes this
script writes the parts of clients/js between "generated from" and "end of
generated" lines: the code objects, the kind and text maps, and the
matching types in the .d.ts files; and the service's ports (service/ports.h).

    scripts/codes.py           writes the generated parts
    scripts/codes.py --check   writes nothing; status 1 (with a diff) when a
                               checked-in part differs from the headers
    scripts/codes.py --adopt   first gives codes without a page note the
                               name, kind and text the page library has for
                               their number (for codes added to both by hand)
"""
import difflib
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# header, the enum's name prefix, then the page library's files and the
# names of its objects.
TABLES = [
    {
        "header": "support/codes.h",
        "prefix": "KESTROVAN_",
        "js": "clients/js/kestrovan.js",
        "dts": "clients/js/kestrovan.d.ts",
        "codes": "ResultCode",
        "texts": "CODE_TEXT",
        "kinds": "ErrorKindName",
        "kinds_about": "",
        "other_kinds": True,
        "text_comment": "// kind, message for each code the service itself answers. 61001 depends on\n"
                        "// the request (see errorForCode).",
    },
    {
        "header": "adapters/helm/helm.h",
        "prefix": "HELM_",
        "js": "clients/js/helm.js",
        "dts": "clients/js/helm.d.ts",
        "codes": "HelmCode",
        "texts": "HELM_TEXT",
        "kinds": "HelmErrorKindName",
        "kinds_about": " for one of the PKI adapter's codes",
        "text_comment": "// kind, what to tell the user.",
    },
]

ENTRY = re.compile(r"^\s*([A-Z][A-Z0-9_]*)\s*=\s*(\d+)\s*,")
PAGE = re.compile(r"^\s*// page ([A-Z][A-Z0-9_]*)(?:, ([A-Za-z0-9]+): (.*))?$")
MORE = re.compile(r"^\s*//   (\S.*)$")


def read(path):
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        return f.read()


def write(path, text):
    with open(os.path.join(ROOT, path), "w", encoding="utf-8") as f:
        f.write(text)


def header_codes(text):
    """[(c_name, number, page_name or None, kind, message)] in header order."""
    codes = []
    lines = text.split("\n")
    i = 0
    while i < len(lines):
        entry = ENTRY.match(lines[i])
        i += 1
        if not entry:
            continue
        name, number = entry.group(1), int(entry.group(2))
        # The entry's own comment may continue on lines of its own.
        while i < len(lines) and lines[i].strip().startswith("//") and not PAGE.match(lines[i]) \
                and not ENTRY.match(lines[i]):
            i += 1
        page = PAGE.match(lines[i]) if i < len(lines) else None
        if not page:
            codes.append((name, number, None, None, None))
            continue
        i += 1
        message = page.group(3)
        while message is not None and i < len(lines) and MORE.match(lines[i]):
            message += " " + MORE.match(lines[i]).group(1)
            i += 1
        codes.append((name, number, page.group(1), page.group(2), message))
    return codes


def js_string(text):
    return "'" + text.replace("\\", "\\\\").replace("'", "\\'") + "'"


def js_part(table, codes):
    paged = [c for c in codes if c[2] is not None]
    out = ["export const %s = Object.freeze({" % table["codes"]]
    out += ["  %s: %d," % (c[2], c[1]) for c in paged]
    out += ["});", "", table["text_comment"], "const %s = new Map([" % table["texts"]]
    out += ["  [%d, [%s, %s]]," % (c[1], js_string(c[3]), js_string(c[4])) for c in paged if c[3]]
    out += ["]);"]
    return out


def dts_part(table, codes):
    paged = [c for c in codes if c[2] is not None]
    out = ["export declare const %s: Readonly<{" % table["codes"]]
    out += ["  %s: %d;" % (c[2], c[1]) for c in paged]
    out += ["}>;", ""]
    kinds = [c[3] for c in paged if c[3]]
    if table.get("other_kinds"):
        # The kinds of failures without a code come first, as the page
        # library's ErrorKind names them.
        js = read(table["js"])
        block = js[js.index("export const ErrorKind = Object.freeze({"):]
        block = block[:block.index("...Object.fromEntries")]
        kinds = re.findall(r"^  ([A-Za-z]+): '\1',$", block, re.M) + kinds
    out += ["/** error.kind of a KestrovanError%s. */" % table["kinds_about"], "export type %s =" % table["kinds"]]
    out += ["  | '%s'%s" % (k, ";" if n == len(kinds) - 1 else "") for n, k in enumerate(kinds)]
    return out


def replace_part(text, path, header, lines):
    begin = "// generated from %s by scripts/codes.py: change the header, then run it" % header
    end = "// end of generated part"
    start = text.find(begin)
    stop = text.find(end, start)
    if start < 0 or stop < 0:
        sys.exit("%s: no generated part (a line \"%s\" ... \"%s\")" % (path, begin, end))
    return text[:start] + begin + "\n" + "\n".join(lines) + "\n" + text[stop:]


def adopt(table):
    """Page notes for the header's codes that have none, from the page library."""
    header = read(table["header"])
    js = read(table["js"])
    names = {int(n): name for name, n in re.findall(r"^  ([A-Z][A-Z0-9_]*): (\d+),$", js, re.M)}
    texts = {}
    for number, kind, message in re.findall(r"^  \[(\d+), \['([A-Za-z0-9]+)', '((?:[^'\\]|\\.)*)'\]\],$", js, re.M):
        texts[int(number)] = (kind, message.replace("\\'", "'").replace("\\\\", "\\"))
    lines = header.split("\n")
    missing = {c[0] for c in header_codes(header) if c[2] is None}
    out = []
    i = 0
    while i < len(lines):
        out.append(lines[i])
        entry = ENTRY.match(lines[i])
        i += 1
        if not entry or entry.group(1) not in missing or int(entry.group(2)) not in names:
            continue
        indent = re.match(r"^\s*", lines[i - 1]).group(0)
        while i < len(lines) and lines[i].strip().startswith("//") and not ENTRY.match(lines[i]):
            out.append(lines[i])
            i += 1
        number = int(entry.group(2))
        if number not in texts:
            out.append("%s// page %s" % (indent, names[number]))
            continue
        kind, message = texts[number]
        first = "%s// page %s, %s:" % (indent, names[number], kind)
        words = message.split(" ")
        line = first
        for word in words:
            if len(line) + 1 + len(word) > 118 and line != first:
                out.append(line)
                line = "%s//  " % indent
            line += " " + word
        out.append(line)
    write(table["header"], "\n".join(out))


def ports_part():
    header = read("service/ports.h")
    ports = [re.search(r"^#define KESTROVAN_PORT_%s (\d+)$" % which, header, re.M).group(1)
             for which in ("FIRST", "SECOND", "THIRD")]
    return ["export const SERVICE_PORTS = Object.freeze([%s]);" % ", ".join(ports)]


def main():
    check = "--check" in sys.argv[1:]
    if "--adopt" in sys.argv[1:]:
        for table in TABLES:
            adopt(table)
    status = 0
    for table in TABLES:
        codes = header_codes(read(table["header"]))
        for path, part in ((table["js"], js_part(table, codes)), (table["dts"], dts_part(table, codes))):
            old = read(path)
            new = replace_part(old, path, table["header"], part)
            if new == old:
                continue
            if check:
                status = 1
                sys.stdout.writelines(difflib.unified_diff(old.splitlines(True), new.splitlines(True),
                                                           path + " (checked in)", path + " (from the headers)"))
            else:
                write(path, new)
                print("wrote " + path)
    # The ports, in the first generated part of the page library.
    old = read("clients/js/kestrovan.js")
    new = replace_part(old, "clients/js/kestrovan.js", "service/ports.h", ports_part())
    if new != old and check:
        status = 1
        sys.stdout.writelines(difflib.unified_diff(old.splitlines(True), new.splitlines(True), "kestrovan.js",
                                                   "kestrovan.js (from service/ports.h)"))
    elif new != old:
        write("clients/js/kestrovan.js", new)
        print("wrote clients/js/kestrovan.js")
    if check and status:
        print("the page library's code tables differ from the C headers: run scripts/codes.py")
    return status


if __name__ == "__main__":
    sys.exit(main())
