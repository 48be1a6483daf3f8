#!/usr/bin/env python3
"""Holds the daemon's library (jni/) to two rules of its layout:
  - no include cycle, between files or between modules (a header and its
    source are one module);
  - no file but fields.h spells a field's name, or a family's suffix, in a
    string.
The client (client/, beside jni/) is held to the second for every name of
more than one word: a short one ("fps", "jank") is also the word a title or a
command uses.
Usage: check_jni.py [JNI_DIR]   Prints the module graph; exits 1 on a breach."""
import os
import re
import sys

jni = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), '..', 'jni')
sources = {}
for folder, _, names in os.walk(jni):
    for name in names:
        if name.endswith(('.h', '.cpp')):
            path = os.path.join(folder, name)
            sources[os.path.relpath(path, jni)] = open(path, encoding='utf-8', errors='replace').read()
includes = {p: re.findall(r'^#include "([^"]+)"', text, re.M) for p, text in sources.items()}
breaches = []
for path, included in includes.items():
    breaches += [f'{path} includes {i}, which is not in {jni}' for i in included if i not in sources]


def cycles(graph):
    found, state = [], {}

    def visit(node, stack):
        state[node] = 'open'
        stack.append(node)
        for next_node in sorted(graph.get(node, ())):
            if state.get(next_node) == 'open':
                found.append(stack[stack.index(next_node):] + [next_node])
            elif next_node not in state:
                visit(next_node, stack)
        stack.pop()
        state[node] = 'done'

    for node in sorted(graph):
        if node not in state:
            visit(node, [])
    return found


def module(path):
    return os.path.splitext(path)[0]


modules = {}
for path, included in includes.items():
    modules.setdefault(module(path), set()).update(
        module(i) for i in included if module(i) != module(path))
for kind, graph in (('files', includes), ('modules', modules)):
    breaches += [f'include cycle of {kind}: ' + ' -> '.join(c) for c in cycles(graph)]

# A family's prefix ("cpu", "temp_") is also the kernel's name of what it
# counts, so only whole names and suffixes are looked for.
fields = sources['fields.h']
names = set()
for name, suffix in re.findall(r'Field k\w+\{"([^"]*)", (?:nullptr|"([^"]*)")', fields):
    names.add(suffix if suffix else name)
for path, text in sorted(sources.items()):
    if path == 'fields.h':
        continue
    for number, line in enumerate(text.splitlines(), 1):
        for name in sorted(names):
            if re.search(r'(?:"|\\n)' + re.escape(name) + r'(?![A-Za-z0-9_])', line):
                breaches.append(f'{path}:{number} spells the field name {name}: {line.strip()}')

client = os.path.join(jni, '..', 'client')
for folder, _, files in os.walk(client):
    for file in sorted(files):
        if not file.endswith(('.h', '.cpp')):
            continue
        path = os.path.join(folder, file)
        for number, line in enumerate(open(path, encoding='utf-8', errors='replace'), 1):
            for name in sorted(n for n in names if '_' in n):
                if re.search(r'(?:"|\\n)' + re.escape(name) + r'(?![A-Za-z0-9_])', line):
                    breaches.append(f'{os.path.relpath(path, client)}:{number} spells the field '
                                    f'name {name}: {line.strip()}')

for name in sorted(modules):
    print(f'{name} -> {", ".join(sorted(modules[name])) or "-"}')
for breach in breaches:
    print('BREACH:', breach, file=sys.stderr)
sys.exit(1 if breaches else 0)
