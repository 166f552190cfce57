#!/usr/bin/env python3
"""Checks the relative links of the README and the guides in docs/: each must name a file
or folder that exists, and an anchor (#...) must be the slug of a heading in the Markdown
file it names, as GitHub makes them. Links to other sites are left alone, and so is what
stands in code blocks and code spans. Prints FILE:LINE for each broken link and fails.
    scripts/check-links.py [FILE.md...]    README.md and docs/*.md by default
"""

import glob
import os
import re
import sys
import urllib.parse

INLINE_LINK = re.compile(r'!?\[[^\]]*\]\(\s*<?([^)\s>]*)>?(?:\s+"[^"]*")?\s*\)')
REFERENCE_DEFINITION = re.compile(r'^ {0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s+"[^"]*")?\s*$', re.M)
FENCE = re.compile(r'^ {0,3}(```|~~~)')
CODE_SPAN = re.compile(r'(`+).*?\1')
ATX_HEADING = re.compile(r'^ {0,3}#{1,6}\s+(.*?)\s*#*\s*$')
SCHEME = re.compile(r'^[A-Za-z][A-Za-z0-9+.-]*:')


def prose(text):
    """The text with fenced blocks and code spans blanked, lines and columns kept."""
    lines, fenced = [], None
    for line in text.split('\n'):
        fence = FENCE.match(line)
        if fence and (fenced is None or fence.group(1) == fenced):
            fenced = fence.group(1) if fenced is None else None
            lines.append('')
        elif fenced:
            lines.append('')
        else:
            lines.append(CODE_SPAN.sub(lambda span: ' ' * len(span.group(0)), line))
    return '\n'.join(lines)


def slug(heading):
    """GitHub's anchor for a heading: its text without markup, lower case, punctuation
    dropped, spaces made hyphens."""
    text = re.sub(r'!?\[([^\]]*)\]\([^)]*\)', r'\1', heading)
    text = re.sub(r'<[^>]+>', '', text).replace('`', '').replace('*', '')
    text = re.sub(r'[^\w\- ]', '', text.lower())
    return text.replace(' ', '-')


def anchors(path, cache={}):
    """The anchors of a Markdown file's headings; a repeated slug gets -1, -2, ..."""
    if path not in cache:
        seen, found = {}, set()
        for line in prose(open(path, encoding='utf-8').read()).split('\n'):
            heading = ATX_HEADING.match(line)
            if heading:
                base = slug(heading.group(1))
                count = seen.get(base, 0)
                seen[base] = count + 1
                found.add(base if count == 0 else f'{base}-{count}')
        cache[path] = found
    return cache[path]


def fault(source, target):
    """What is wrong with the link TARGET in the file SOURCE, or None."""
    if SCHEME.match(target) or target.startswith('//'):
        return None
    path, _, anchor = target.partition('#')
    path = urllib.parse.unquote(path)
    named = os.path.normpath(os.path.join(os.path.dirname(source), path)) if path else source
    if not os.path.exists(named):
        return f'no file {named}'
    if anchor and named.endswith('.md'):
        if urllib.parse.unquote(anchor) not in anchors(named):
            return f'no heading in {named} whose anchor is #{anchor}'
    return None


def check(source):
    """Prints each broken link of SOURCE; returns how many links it has and how many broke."""
    text = prose(open(source, encoding='utf-8').read())
    targets = [(m.start(1), m.group(1)) for m in INLINE_LINK.finditer(text)]
    targets += [(m.start(1), m.group(1)) for m in REFERENCE_DEFINITION.finditer(text)]
    broken = 0
    for offset, target in sorted(targets):
        problem = fault(source, target)
        if problem:
            line = text.count('\n', 0, offset) + 1
            print(f'{source}:{line}: broken link ({target}): {problem}', file=sys.stderr)
            broken += 1
    return len(targets), broken


def main():
    os.chdir(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
    files = sys.argv[1:] or ['README.md'] + sorted(glob.glob('docs/*.md'))
    links = broken = 0
    for source in files:
        counted, failed = check(source)
        links += counted
        broken += failed
    print(f'{links} links in {len(files)} files, {broken} broken')
    return 1 if broken else 0


if __name__ == '__main__':
    sys.exit(main())
