#!/usr/bin/env python3
"""The demo's program topic "wordstats": the gateway writes the form's text
field to an input file and runs this program on it; the page this program
writes beside the input (the input's name up to its first ".", then ".HTM")
is the answer the browser gets."""

import collections
import html
import os
import sys


def main():
    source = sys.argv[-1]
    with open(source, encoding="latin-1") as f:
        text = f.read()
    words = text.split()
    common = collections.Counter(w.lower().strip(".,;:!?\"'()") for w in words).most_common(5)
    rows = "".join("<tr><td>%s</td><td>%d</td></tr>" % (html.escape(w), n) for w, n in common if w)
    page = (
        "<html><head><title>Word statistics</title></head><body>"
        "<h3>Word statistics</h3>"
        "<p>Your text: <q>%s</q></p>"
        "<p>%d characters, %d words, reversed: <q>%s</q></p>"
        "<table border=1><tr><th>word</th><th>count</th></tr>%s</table>"
        "<p>Worked out by <code>programs/wordstats.py</code>, run by the gateway for this request."
        " <a href='/programs.htm'>Back</a></p></body></html>"
        % (html.escape(text), len(text), len(words), html.escape(text[::-1]), rows)
    )
    name = os.path.basename(source).split(".")[0] + ".HTM"
    with open(os.path.join(os.path.dirname(source), name), "w", encoding="latin-1") as f:
        f.write(page)


if __name__ == "__main__":
    main()
