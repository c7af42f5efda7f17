#!/usr/bin/env python3
"""The layering rules of scripts/include_graph.py, one include at a time.

  include_graph_test.py SCRIPT

Each case is a tree of two files, one including the other, checked by the
script: the include is either allowed or refused with the reason given.
"""
import os
import subprocess
import sys
import tempfile

# source file, the file it includes, the reason it is refused (None: allowed)
CASES = [
    ("report/rows.hpp", "marks/row_marks.hpp", None),
    ("report/rows.hpp", "geometry/phase_geometry.hpp", None),
    ("report/cif_output.cpp", "report/rows.hpp", None),
    ("page/page_server.hpp", "marks/row_marks.hpp", None),
    ("page/page_server.cpp", "report/rows.hpp", None),  # the page reads the rows model
    ("vortan/driver.cpp", "page/page_server.hpp", None),
    ("vortan/driver.cpp", "report/rows.hpp", None),
    ("page/page_server.cpp", "report/json_output.hpp", "runs up the layers"),  # and nothing else of report
    ("report/rows.hpp", "page/page_server.hpp", "runs up the layers"),
    ("report/drawing.cpp", "vortan/driver.hpp", "runs up the layers"),
    ("page/page_server.cpp", "vortan/driver.hpp", "runs up the layers"),
    ("marks/row_marks.cpp", "report/rows.hpp", "runs up the layers"),
    ("marks/run_marks.hpp", "page/page_server.hpp", "runs up the layers"),
    ("geometry/measure.hpp", "marks/run_marks.hpp", "runs up the layers"),
    ("geometry/measure.hpp", "report/rows.hpp", "runs up the layers"),
    ("geometry/measure.hpp", "page/page_server.hpp", "runs up the layers"),
    ("expfile/keys.hpp", "marks/marks_reader.hpp", "runs up the layers"),
    ("geometry/measure.hpp", "console/page.hpp", "reads and writes no file"),
]


def check(script, source, target):
    with tempfile.TemporaryDirectory() as root:
        for path, text in ((target, ""), (source, f'#include "{target}"\n')):
            os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
            with open(os.path.join(root, path), "w", encoding="utf-8") as f:
                f.write(text)
        run = subprocess.run([sys.executable, script, root], capture_output=True, text=True)
        return run.returncode, run.stdout


def main(argv):
    script = argv[1]
    failures = 0
    for source, target, reason in CASES:
        status, out = check(script, source, target)
        refused = status != 0
        if refused != (reason is not None) or (reason is not None and reason not in out):
            failures += 1
            verdict = f"refused ({reason})" if reason else "allowed"
            print(f"FAIL {source} -> {target}: expected {verdict}, got status {status}:\n{out}")
    print(f"{len(CASES) - failures} of {len(CASES)} include rules hold")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
