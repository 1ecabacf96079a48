#!/usr/bin/env python3
"""The shared library exports exactly the public names (one list per module
under tests/data/exports), and the Debian symbols file lists the same ones,
so that a package built with a new or a dropped export fails rather than ship
a wrong dependency.

Usage: check_exports.py <libkelp.so> <source tree>. Prints each difference;
exit 1 on any.
"""
import glob
import os
import subprocess
import sys

library, root = sys.argv[1], sys.argv[2]
public = set()
for path in glob.glob(os.path.join(root, 'tests', 'data', 'exports', '*')):
    with open(path) as f:
        public.update(f.read().split())
nm = subprocess.run(['nm', '-D', '--defined-only', '-j', library],
                    capture_output=True, text=True, check=True).stdout.split()
# Not ours: the address sanitizer's marker beside each exported variable, and
# the runtime that the coverage build exports on purpose.
exported = {s for s in nm
            if not s.startswith(('__odr_asan.', '__gcov_')) and s != 'mangle_path'}
with open(os.path.join(root, 'debian', 'libkelp1.symbols')) as f:
    listed = {line[1:].split('@')[0] for line in f if line.startswith(' ') and len(line) > 1}

faults = []
for what, names in (('exported by the library', exported), ('in the symbols file', listed)):
    faults += ['%s: %s but not public' % (n, what) for n in sorted(names - public)]
    faults += ['%s: public but not %s' % (n, what) for n in sorted(public - names)]
print('\n'.join(faults) if faults else '%d public names, all exported and listed' % len(public))
sys.exit(1 if faults else 0)
