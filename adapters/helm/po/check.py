#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""check.py SOURCE_DIR -- the dialogs' catalogs against the adapter's code:
msgfmt --check passes for every language, every text the code marks
(HelmText_Translate, HELM_N_) has a translation in every language, every
"{mark}" is kept, and a button's "_" key stays one key."""
import re, subprocess, sys, os

here = os.path.dirname(os.path.abspath(__file__))
source = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(here)
languages = sorted(f[:-3] for f in os.listdir(here) if f.endswith('.po'))
files = sorted(os.path.join(source, f) for f in os.listdir(source) if f.endswith('.cpp'))
pot = subprocess.run(['xgettext', '--from-code=UTF-8', '-k', '-kHelmText_Translate', '-kHELM_N_', '--omit-header',
                      '-o', '-'] + files, check=True, capture_output=True, text=True).stdout

def entries(text):
    out = {}
    for m in re.finditer(r'msgid ((?:"(?:[^"\\]|\\.)*"\s*)+)msgstr ((?:"(?:[^"\\]|\\.)*"\s*)+)', text):
        join = lambda block: ''.join(re.findall(r'"((?:[^"\\]|\\.)*)"', block))
        out[join(m.group(1))] = join(m.group(2))
    return out

wanted = [i for i in entries(pot) if i]
problems = []
if len(wanted) < 20:
    problems.append(f'only {len(wanted)} texts found in the code')
if not languages:
    problems.append('no catalogs')
for language in languages:
    po = os.path.join(here, language + '.po')
    checked = subprocess.run(['msgfmt', '--check', '-o', os.devnull, po], capture_output=True, text=True)
    if checked.returncode != 0:
        problems.append(f'{language}: msgfmt --check: {checked.stderr.strip()}')
    catalog = entries(open(po, encoding='utf-8').read())
    for msgid in wanted:
        msgstr = catalog.get(msgid, '')
        if not msgstr:
            problems.append(f'{language}: no translation for "{msgid}"')
            continue
        if sorted(re.findall(r'\{\w+\}', msgid)) != sorted(re.findall(r'\{\w+\}', msgstr)):
            problems.append(f'{language}: the marks of "{msgid}" differ in "{msgstr}"')
        if msgid.count('_') != msgstr.count('_'):
            problems.append(f'{language}: the key mark of "{msgid}" differs in "{msgstr}"')
    for msgid in catalog:
        if msgid and msgid not in wanted:
            problems.append(f'{language}: "{msgid}" is no longer in the code')
for p in problems:
    print(p)
print(f'{len(wanted)} texts, languages: {" ".join(languages)}: {"ok" if not problems else "FAILED"}')
sys.exit(1 if problems else 0)
