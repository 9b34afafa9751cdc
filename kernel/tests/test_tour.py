#!/usr/bin/env python3
"""Runs examples/tour.ipynb with `jupyter nbconvert --to notebook --execute`
on the built kernel and checks the outputs. Skips (exit 77) when nbconvert is
missing; JUPYTER_PATH must name the directory holding kernels/tarq.
Usage: test_tour.py NOTEBOOK"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

try:
    import nbconvert  # noqa: F401
except ImportError as e:
    print(f"skipped: nbconvert is missing ({e})")
    sys.exit(77)

source = sys.argv[1]
with tempfile.TemporaryDirectory() as work:
    shutil.copy(source, os.path.join(work, "tour.ipynb"))
    run = subprocess.run([sys.executable, "-m", "nbconvert", "--to", "notebook", "--execute", "--allow-errors",
                          "--ExecutePreprocessor.timeout=120", "--output", "tour-run.ipynb", "tour.ipynb"],
                         cwd=work, capture_output=True, text=True, timeout=300)
    if run.returncode != 0:
        sys.exit("nbconvert failed:\n" + run.stderr)
    with open(os.path.join(work, "tour-run.ipynb")) as f:
        nb = json.load(f)

cells = {"".join(c["source"]): c.get("outputs", []) for c in nb["cells"] if c["cell_type"] == "code"}


def result(code, mime="text/plain"):
    for o in cells[code]:
        if o["output_type"] in ("execute_result", "display_data") and mime in o["data"]:
            return "".join(o["data"][mime])
    sys.exit(f"no {mime} output for {code!r}: {cells[code]!r}")


def check(cond, what):
    if not cond:
        sys.exit("tour: " + what)


check(result("1 2 3 + 10") == "11 12 13", "arithmetic")
check(result("3 + 4 * 2") == "14", "no precedence")
check(result("1 .. 5") == "1 2 3 4 5", "ranges")
check(result("v /+") == "1 3 6 10", "names live on")
check(result("'sq' #OP {l__ * l__}; 4 sq") == "16", "operators")
loop = "0 => i; :WHILE (i < 3) {i + 1 => i; i $;}; 'done'"
printed = "".join("".join(o["text"]) for o in cells[loop] if o["output_type"] == "stream")
check(printed == "1\n2\n3\n", "printing: %r" % printed)
check("<table>" in result("#NS => point; 3 => point.x; 4 => point.y; 'origin' => point.name; point", "text/html"),
      "namespace table")
check("pears" in result("#DICT => d; 1 =>['apples'] d; 5 =>['pears'] d; d", "text/html"), "dictionary table")
check("<polyline" in result(")plot\n(1 .. 10) * (1 .. 10)", "image/svg+xml"), "line chart")
check(result(")bar\n(1 2 3) (3 1 2)", "image/svg+xml").count("<rect") == 6, "bar chart")
errors = [o for o in cells["1 + 'x'"] if o["output_type"] == "error"]
check(len(errors) == 1 and errors[0]["ename"] == "Value error", "error")
check(result("v") == "1 2 3 4", "names survive the error")
print("tour OK")
