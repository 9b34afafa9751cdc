#!/usr/bin/env python3
"""What tarqsh does at the edges of the process: unreadable scripts, failed
writes, Ctrl-C in batch mode, output reaching a pipe as it is printed, text
crossing the boundary, and errors on huge lines."""
import os, signal, subprocess, sys, tempfile, time, unittest

TARQSH = sys.argv.pop(1)


def run(args, stdin=b"", **kw):
    return subprocess.run([TARQSH] + args, input=stdin, capture_output=True, timeout=120, **kw)


class Scripts(unittest.TestCase):
    def test_directory_is_not_a_script(self):
        with tempfile.TemporaryDirectory() as d:
            r = run([d])
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"cannot read", r.stderr)
        self.assertEqual(r.stdout, b"")

    def test_missing_file(self):
        r = run(["/nonexistent/script.tof"])
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"cannot read /nonexistent/script.tof", r.stderr)


class Writes(unittest.TestCase):
    def test_full_device_is_a_write_error(self):
        with open("/dev/full", "wb") as full:
            r = subprocess.run([TARQSH, "-e", "1 .. 10"], stdout=full, stderr=subprocess.PIPE, timeout=120)
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"tarqsh: write error: No space left on device", r.stderr)

    def test_closed_stdout_is_a_write_error(self):
        r = subprocess.run([TARQSH, "-e", "'x'"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120,
                           preexec_fn=lambda: os.close(1))
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"write error", r.stderr)

    def test_closed_stdout_with_a_script_file_writes_nothing_into_it(self):
        # The script file must not take over descriptor 1.
        with tempfile.NamedTemporaryFile("wb", suffix=".tof", delete=False) as f:
            f.write(b"'must not land in the script' $; 1")
        try:
            r = subprocess.run([TARQSH, f.name], stderr=subprocess.PIPE, timeout=120, preexec_fn=lambda: os.close(1))
            self.assertEqual(r.returncode, 1)
            with open(f.name, "rb") as back:
                self.assertEqual(back.read(), b"'must not land in the script' $; 1")
        finally:
            os.unlink(f.name)

    def test_successful_run_exits_zero(self):
        r = run(["-e", "1 2 3 + 10"])
        self.assertEqual((r.returncode, r.stdout), (0, b"11 12 13\n"))


class Memory(unittest.TestCase):
    def test_long_result_prints_and_too_large_a_value_is_out_of_memory(self):
        # Under a 1 GB address-space limit a 300 MB string prints (its text
        # form goes out in pieces, where building it took five times its
        # size), and a 1.2 GB one cannot be made: the host reports error 10
        # instead of aborting.
        with open(TARQSH, "rb") as exe:
            if b"__asan_init" in exe.read():
                self.skipTest("the sanitizer runtime reserves more address space than the limit")
        import resource
        limit = lambda: resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        r = subprocess.run([TARQSH, "-e", "'abc' %% 300000000"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                           timeout=300, preexec_fn=limit)
        self.assertEqual(r.returncode, 0, r.stderr)
        r = subprocess.run([TARQSH, "-e", "'abc' %% 1200000000"], capture_output=True, timeout=300,
                           preexec_fn=limit)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn(b"Out of memory", r.stderr)
        self.assertNotIn(b"terminate", r.stderr)


class Interrupt(unittest.TestCase):
    def test_ctrl_c_in_batch_prints_stopped_with_position(self):
        script = b"'started' $;\n0 => i;\n:WHILE (1) {\n  i + 1 => i\n}\n"
        with subprocess.Popen([TARQSH, "-"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE) as p:
            self.interrupt(p, script)

    def interrupt(self, p, script):
        p.stdin.write(script)
        p.stdin.close()
        # The line printed before the loop arrives while the script still runs:
        # output reaches a pipe line by line.
        first = p.stdout.readline()
        self.assertEqual(first, b"started\n")
        time.sleep(0.2)
        self.assertIsNone(p.poll())
        p.send_signal(signal.SIGINT)
        err = p.stderr.read()
        p.wait(timeout=120)
        self.assertEqual(p.returncode, 130)
        self.assertIn(b"User Interrupt", err)
        # A token answers the request with "Stopped", a loop's pass with "Stop".
        self.assertRegex(err, rb"\nStop(ped)?:")
        head = err.split(b"\n")[0]
        self.assertNotIn(b"^1:0]", head)  # a real position, not the start of an empty text
        self.assertRegex(head, rb"\[\d+\^\d+:[1-9]\d*\]")


class TextBoundary(unittest.TestCase):
    def test_byte_order_mark_dropped_on_stdin_and_in_files(self):
        r = run(["-"], stdin=b"\xef\xbb\xbf5\n")
        self.assertEqual((r.returncode, r.stdout), (0, b"5\n"))
        with tempfile.NamedTemporaryFile("wb", suffix=".tof", delete=False) as f:
            f.write(b"\xef\xbb\xbf'caf\xc3\xa9'")
        try:
            r = run([f.name])
            self.assertEqual(r.stdout, "café\n".encode())
        finally:
            os.unlink(f.name)

    def test_unheld_character_in_code_is_syntax_error(self):
        r = run(["-"], stdin="1 + 2;\n3 ✓ 4\n".encode())
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout, b"")
        self.assertIn(b"[0^2:3]\n3 ? 4\n  ^\nSyntax error\nInvalid character", r.stderr)

    def test_unheld_characters_in_quotes_warn_once(self):
        r = run(["-e", "'✓ ✓' $$ ✓"])
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout, b"? ?\n")
        self.assertEqual(r.stderr.count(b"warning"), 1)


class LongLines(unittest.TestCase):
    def test_error_on_a_huge_line_shows_a_window(self):
        text = b"(" * 150 + b"1 " * 500000 + b")" * 150  # a 1 MB line
        r = run(["-"], stdin=text)
        self.assertEqual(r.returncode, 1)
        self.assertLess(len(r.stderr), 1500)
        self.assertIn(b"...", r.stderr)
        lines = r.stderr.split(b"\n")
        self.assertLessEqual(len(lines[1]), 206)
        self.assertLessEqual(lines[2].index(b"^"), len(lines[1]))

    def test_window_keeps_the_caret_under_its_character(self):
        # Near the start: cut only at the end; in the middle: cut at both ends.
        for prefix, cut_front in ((b"1", False), (b"1 " * 300 + b"1", True)):
            r = run(["-"], stdin=prefix + b" + 'a'" + b" 2" * 600)
            lines = r.stderr.split(b"\n")
            shown, caret = lines[1], lines[2]
            self.assertEqual(shown.startswith(b"..."), cut_front, shown[:20])
            self.assertTrue(shown.endswith(b"..."), shown[-20:])
            self.assertLessEqual(len(shown), 206)
            col = caret.index(b"^")
            self.assertEqual(shown[col - 2:col + 1], b"'a'", (shown, col))

class PipedCommands(unittest.TestCase):
    def test_help_and_commands_on_piped_input(self):
        r = run([], stdin=b")help +\n1 + 2\n)help commands\n")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, b"")
        self.assertIn(b"Operator +", r.stdout)
        self.assertIn(b"\n3\n", r.stdout)
        self.assertIn(b")load FILE", r.stdout)

    def test_a_closing_line_inside_an_open_group_is_script(self):
        r = run(["-"], stdin=b"(1\n) + 2\n")
        self.assertEqual((r.returncode, r.stdout), (0, b"3\n"), r.stderr)

    def test_quit_ends_the_input_and_an_error_stops_it(self):
        r = run([], stdin=b"5\n)quit\n6\n")
        self.assertEqual((r.returncode, r.stdout), (0, b"5\n"))
        r = run([], stdin=b"1 + 'a'\n)ns\n7\n")
        self.assertEqual(r.returncode, 1)
        self.assertNotIn(b"7", r.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=1)
