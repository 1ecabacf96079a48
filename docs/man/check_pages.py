#!/usr/bin/env python3
"""Checks the man page sources against the library.

Every exported name (tests/data/exports/*.txt) has a page of its own and no
page documents anything else; each page has the sections of the man-pages
project in their order, with those its kind of name needs; its synopsis
declares exactly what the public C headers declare; kelp(7) lists every page.

Usage: check_pages.py <source tree>. Prints one line per fault; exit 1 on any.
"""
import glob
import os
import re
import sys

ORDER = ['NAME', 'LIBRARY', 'SYNOPSIS', 'DESCRIPTION', 'RETURN VALUE', 'ERRORS',
         'ENVIRONMENT', 'FILES', 'ATTRIBUTES', 'NOTES', 'EXAMPLES', 'SEE ALSO']
ENTRY_POINTS = {'dbginit', 'strsub', 'file2buf', 'llist_strsort', 'wtree_create',
                'gnl_cmdlin', 'run_syscmd', 'port_mktime'}


def normalised(decl):
    """Token by token: layout, the export markers and __thread do not count."""
    decl = re.sub(r'\bKELP_(API|BEGIN_DECLS|END_DECLS)\b|\bKELP_PRINTF\([^)]*\)|\b__thread\b',
                  ' ', decl)
    decl = re.sub(r'\s+', ' ', decl)
    return re.sub(r' ?([()\[\],*;]) ?', r'\1', decl).strip()


def declaration_of(code, name):
    """The statement of code that declares name, normalised; '' if none does."""
    begin = 0
    for m in re.finditer(r'[;{}]', code):
        stmt = code[begin:m.start()]
        begin = m.end()
        if re.search(r'(?<![\w])' + re.escape(name) + r'\s*[(\[]|(?<![\w])' + re.escape(name) + r'\s*$',
                     stmt):
            return normalised(stmt + ';') if m.group() == ';' else ''
    return ''


def sections(page):
    """{title: text} and the titles in order, of the page's '# title' lines."""
    parts = re.split(r'^# (.+)$', page, flags=re.M)
    titles = parts[1::2]
    return dict(zip(titles, parts[2::2])), titles


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else '.'
    faults = []
    names = set()
    for path in glob.glob(os.path.join(root, 'tests/data/exports/*.txt')):
        names.update(open(path).read().split())
    code = ''
    for path in sorted(glob.glob(os.path.join(root, 'include/kelp/*.h'))):
        code += ''.join(l for l in open(path) if not l.lstrip().startswith('#'))
    code = re.sub(r'/\*.*?\*/|//[^\n]*', ' ', code, flags=re.S)

    pages = {os.path.basename(p)[:-len('.3.scd')]: open(p).read()
             for p in glob.glob(os.path.join(root, 'docs/man/*.3.scd'))}
    faults += ['%s.3.scd documents no exported name' % n for n in sorted(set(pages) - names)]
    for name in sorted(names):
        page = pages.get(name)
        if page is None or not page.startswith(name + '(3) '):
            faults.append('%s: no page of its own' % name)
            continue
        text, titles = sections(page)
        fault = lambda what: faults.append('%s: %s' % (name, what))
        if not text.get('NAME', '').lstrip('\n').startswith(name + ' - '):
            fault('NAME does not begin with the name')
        if '(libkelp, -lkelp)' not in text.get('LIBRARY', ''):
            fault('LIBRARY does not name libkelp, -lkelp')
        header = declaration_of(code, name)
        synopsis = text.get('SYNOPSIS', '')
        if not header:
            fault('not declared in include/kelp')
        elif '#include <kelp.h>' not in synopsis:
            fault('SYNOPSIS does not include <kelp.h>')
        elif declaration_of(re.sub(r'#include[^\n]*|```', '', synopsis), name) != header:
            fault('SYNOPSIS differs from the header: %s' % header)
        unknown = [t for t in titles if t not in ORDER]
        ranks = [ORDER.index(t) for t in titles if t in ORDER]
        if unknown:
            fault('unknown sections %s' % unknown)
        if ranks != sorted(ranks):
            fault('sections out of order')
        required = {'NAME', 'LIBRARY', 'SYNOPSIS', 'DESCRIPTION', 'ATTRIBUTES', 'SEE ALSO'}
        if '(' in header:
            required |= {'RETURN VALUE', 'ERRORS'}
            if '*%s*()' % name not in text.get('ATTRIBUTES', ''):
                fault('ATTRIBUTES does not name the function')
        if name in ENTRY_POINTS:
            required.add('EXAMPLES')
        faults += ['%s: no %s' % (name, t) for t in sorted(required - set(titles))]

    overview = open(os.path.join(root, 'docs/man/kelp.7.scd')).read()
    faults += ['kelp(7) does not list %s' % n for n in sorted(names) if '*%s*(3)' % n not in overview]
    if len(names) != 76:
        faults.append('%d exported names, not 76' % len(names))
    for f in faults:
        print('man pages: ' + f)
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main())
