#!/usr/bin/env python3
"""Runs every example of the README and compares what it prints.

- A ```tarq block followed directly by an ```output block runs as one script;
  its standard output must equal the output block.
- In any other ```tarq block every line `CODE $$ RESULT` runs on its own; it
  must print RESULT.
- A ```sh block of one `tarqsh ...` command followed by an ```output block is
  run; a ```sh line `tarqsh -e "TEXT" ... # ...prints RESULT` or
  `echo "TEXT" | tarqsh - # ...prints RESULT` is run too."""
import os, re, shlex, subprocess, sys, tempfile

TARQSH, README = sys.argv[1], sys.argv[2]


def blocks(text):
    """(language, body) for every fenced block, in order."""
    return [(m.group(1), m.group(2)) for m in re.finditer(r"^```(\w*)\n(.*?)^```\n", text, re.S | re.M)]


def run(args, stdin=None):
    r = subprocess.run([TARQSH] + args, input=stdin, capture_output=True, timeout=60)
    return r.stdout.decode("utf-8", "replace"), r.stderr.decode("utf-8", "replace")


def main():
    text = open(README, encoding="utf-8").read()
    # The examples that write files do so in an empty folder of their own,
    # shared by the blocks in order (a later block reads what an earlier wrote).
    work = tempfile.TemporaryDirectory()
    os.chdir(work.name)
    found = blocks(text)
    failures, count = [], 0

    def check(what, got, want, err=""):
        nonlocal count
        count += 1
        if got != want:
            failures.append("%s\n  expected: %r\n  got:      %r %s" % (what, want, got, err))

    for k, (lang, body) in enumerate(found):
        following = found[k + 1] if k + 1 < len(found) else (None, None)
        if lang == "tarq" and following[0] == "output":
            out, err = run(["-"], body.encode())
            check(body.strip(), out, following[1], err)
        elif lang == "tarq":
            for line in body.splitlines():
                if not line.strip():
                    continue
                code, sep, want = line.partition("$$")
                if not sep:
                    failures.append("no expected result: %s" % line)
                    continue
                out, err = run(["-e", code.strip()])
                check(code.strip(), out.rstrip("\n"), want.strip(), err)
        elif lang == "sh" and following[0] == "output" and body.startswith("tarqsh "):
            out, err = run(shlex.split(body)[1:])
            check(body.strip(), out, following[1], err)
        elif lang == "sh":
            for line in body.splitlines():
                m = re.match(r'^tarqsh -e "(.*?)"\s+#.*prints (.*)$', line) or \
                    re.match(r'^echo "(.*?)" \| tarqsh -\s+#.*prints (.*)$', line)
                if m:
                    stdin = m.group(1).encode() if line.startswith("echo") else None
                    args = ["-"] if stdin else ["-e", m.group(1).replace("\\\\", "\\")]
                    out, err = run(args, stdin)
                    check(line, out.rstrip("\n"), m.group(2).strip(), err)
    print("%d README examples run" % count)
    if count < 30:
        failures.append("only %d examples found: is the README's example format still the one this test reads?" % count)
    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
