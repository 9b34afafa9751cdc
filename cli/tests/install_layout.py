#!/usr/bin/env python3
"""`make install` in miniature: installs the build tree under a temporary
prefix and checks that every piece lands where Debian users look for it and
that the installed tarqsh runs with its installed library."""
import gzip, json, os, subprocess, sys, tempfile

CMAKE, BUILD, HAVE_GUI = sys.argv[1], sys.argv[2], sys.argv[3] == "1"

with tempfile.TemporaryDirectory() as prefix:
    subprocess.run([CMAKE, "--install", BUILD, "--prefix", prefix], check=True, capture_output=True)
    expected = ["bin/tarqsh", "lib/libTarqDll.so.1", "share/applications/tarq.desktop",
                "share/icons/hicolor/scalable/apps/tarq.svg", "share/man/man1/tarqsh.1.gz",
                "share/man/man1/tarq.1.gz", "share/doc/tarq/operators.md", "share/doc/tarq/copyright",
                "share/doc/tarq/changelog.gz"]
    if HAVE_GUI:
        expected.append("bin/tarq")
    if os.path.isfile(os.path.join(BUILD, "lsp", "tarq-lsp")):
        expected += ["bin/tarq-lsp", "share/man/man1/tarq-lsp.1.gz"]
    for runtime in ("share/vim/vimfiles", "share/nvim/site"):
        expected += [runtime + "/" + f for f in ("ftdetect/tarq.vim", "syntax/tarq.vim", "ftplugin/tarq.vim")]
    expected += ["share/tarq/vscode/package.json", "share/tarq/vscode/syntaxes/tarq.tmLanguage.json",
                 "share/tarq/vscode/language-configuration.json", "share/tarq/vscode/extension.js"]
    have_kernel = os.path.isfile(os.path.join(BUILD, "kernel", "tarq-kernel"))
    spec_dir = "share/jupyter/kernels/tarq"
    if have_kernel:
        expected += ["bin/tarq-kernel", "share/man/man1/tarq-kernel.1.gz", spec_dir + "/kernel.json",
                     spec_dir + "/logo-64x64.png", spec_dir + "/logo-32x32.png", spec_dir + "/logo-svg.svg"]
    missing = [p for p in expected if not os.path.isfile(os.path.join(prefix, p))]
    if missing:
        sys.exit("not installed: %s" % ", ".join(missing))
    # The library is versioned: the soname link, the versioned file, and no
    # unversioned link.
    if os.path.lexists(os.path.join(prefix, "lib/libTarqDll.so")):
        sys.exit("the unversioned lib/libTarqDll.so is installed")
    with gzip.open(os.path.join(prefix, "share/man/man1/tarqsh.1.gz"), "rt") as f:
        if ".BR tarq (1)" not in f.read():
            sys.exit("tarqsh(1) does not refer to tarq(1)")
    with open(os.path.join(prefix, "share/applications/tarq.desktop")) as f:
        entry = f.read()
    for line in ("Exec=tarq", "Icon=tarq", "Type=Application"):
        if line not in entry:
            sys.exit("desktop entry lacks %s" % line)
    if have_kernel:
        # The kernelspec names the installed kernel, and says how it is interrupted.
        with open(os.path.join(prefix, spec_dir, "kernel.json")) as f:
            spec = json.load(f)
        if spec["argv"] != [os.path.join(prefix, "bin/tarq-kernel"), "-f", "{connection_file}"]:
            sys.exit("kernel.json runs %r" % spec["argv"])
        if spec.get("language") != "tarq" or spec.get("interrupt_mode") not in ("signal", "message"):
            sys.exit("kernel.json lacks the language or the interrupt mode: %r" % spec)
    env = dict(os.environ)
    env.pop("LD_LIBRARY_PATH", None)
    out = subprocess.run([os.path.join(prefix, "bin/tarqsh"), "-e", "1 2 3 \\+"], capture_output=True, env=env,
                         timeout=60)
    if out.stdout != b"6\n":
        sys.exit("installed tarqsh printed %r %r" % (out.stdout, out.stderr))
print("installed layout OK")
