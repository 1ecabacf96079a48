#!/usr/bin/env python3
"""Checks the man page sources against the library.

Every exported name (tests/data/exports/*.txt) has a page of its own and no
page documents anything else; each page has the sections of the man-pages
project in their order, with those its kind of name needs; its synopsis
declares exactly what the public C headers declare; kelp(7) lists every page.
Every macro and type of the public headers is in docs/man/links, whose
target pages name them; every summary names libkelp, for apropos.

Usage: check_pages.py <source tree>. Prints one line per fault; exit 1 on any.
"""
import glob
import os
import re
import sys

ORDER = ['NAME', 'LIBRARY', 'SYNOPSIS', 'DESCRIPTION', 'RETURN VALUE', 'ERRORS',
         'ENVIRONMENT', 'FILES', 'ATTRIBUTES', 'NOTES', 'EXAMPLES', 'SEE ALSO']
# The pages that show their module at work: each has EXAMPLES.
ENTRY_POINTS = {'dbginit', 'gnl_verstr', 'strsub', 'bcdrep', 'file2buf', 'llist_strsort',
                'wtree_create', 'gnl_cmdlin', 'ginet_str2ipaddr', 'run_syscmd', 'port_mktime'}


def header_names(code):
    """The macros and types that the public C headers give a caller."""
    names = set(re.findall(r'^\s*#\s*define\s+(\w+)', code, flags=re.M))
    names = {n for n in names if not re.fullmatch(r'KELP_\w+_H', n)}
    code = re.sub(r'/\*.*?\*/|//[^\n]*', ' ', code, flags=re.S)
    names |= set(re.findall(r'typedef\s+struct\s+\w+\s*\{[^}]*\}\s*(\w+)\s*;', code))
    names |= set(re.findall(r'typedef\s+struct\s+\w+\s+(\w+)\s*;', code))
    names |= set(re.findall(r'typedef[^;{}]*\(\s*\*\s*(\w+)\s*\)', code))
    names |= set(re.findall(r'\bstruct\s+(\w+)\s*\{', code))
    return names


def links_of(path):
    """{name: target page} of docs/man/links."""
    links = {}
    for line in open(path):
        if line.strip() and not line.startswith('#'):
            target, *names = line.split()
            links.update((n, target) for n in names)
    return links


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
    macros = ''
    for path in sorted(glob.glob(os.path.join(root, 'include/kelp/*.h'))):
        lines = open(path).readlines()
        code += ''.join(l for l in lines if not l.lstrip().startswith('#'))
        # The export markers are the headers' own business.
        if os.path.basename(path) != 'export.h':
            macros += ''.join(lines)
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
        summary = text.get('NAME', '').strip()
        if not summary.startswith(name + ' - '):
            fault('NAME does not begin with the name')
        if not summary.endswith(' (libkelp)'):
            fault('NAME does not end with "(libkelp)"')
        if '(libkelp, -lkelp)' not in text.get('LIBRARY', ''):
            fault('LIBRARY does not name libkelp, -lkelp')
        header = declaration_of(code, name)
        synopsis = text.get('SYNOPSIS', '')
        if not header:
            fault('not declared in include/kelp')
        elif '#include <kelp.h>' not in synopsis:
            fault('SYNOPSIS does not include <kelp.h>')
        elif declaration_of(re.sub(r'(?m)^#.*$|```', '', synopsis), name) != header:
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
    others = {os.path.basename(p)[:-len('.7.scd')]: open(p).read()
              for p in glob.glob(os.path.join(root, 'docs/man/*.7.scd'))}
    for page, source in sorted(others.items()):
        if 'libkelp' not in sections(source)[0].get('NAME', ''):
            faults.append('%s(7): NAME does not name libkelp' % page)
        if page != 'kelp' and '*%s*(7)' % page not in overview:
            faults.append('kelp(7) does not refer to %s(7)' % page)

    links = links_of(os.path.join(root, 'docs/man/links'))
    declared = header_names(macros)
    for n in sorted(declared - names - set(links)):
        faults.append('%s: declared in include/kelp, but no page and not in docs/man/links' % n)
    for n, target in sorted(links.items()):
        source = os.path.join(root, 'docs/man', target + '.scd')
        if n in names or n in others:
            faults.append('links: %s has a page of its own' % n)
        elif target.endswith('.3') and n not in declared:
            faults.append('links: %s is not declared in include/kelp' % n)
        if not os.path.exists(source):
            faults.append('links: %s goes to %s, which does not exist' % (n, target))
        elif not re.search(r'(?<![\w])%s(?![\w])' % re.escape(n), open(source).read()):
            faults.append('links: %s goes to %s, which does not name it' % (n, target))
    if len(names) != 76:
        faults.append('%d exported names, not 76' % len(names))
    for f in faults:
        print('man pages: ' + f)
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main())
