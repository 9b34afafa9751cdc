#!/usr/bin/env python3
"""The interactive session of tarqsh driven through a pseudo-terminal:
continuation lines, Ctrl-C at the prompt, Tab completion, history kept
between sessions, and ")help"."""
import fcntl, os, pty, termios, select, subprocess, sys, tempfile, time, unittest

TARQSH = sys.argv.pop(1)


class Session:
    def __init__(self, state_dir):
        self.master, slave = pty.openpty()
        env = dict(os.environ, TERM="xterm", XDG_STATE_HOME=state_dir, HOME=state_dir)
        def controlling_terminal():  # so that Ctrl-C raises SIGINT, as on a real terminal
            os.setsid()
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        self.proc = subprocess.Popen([TARQSH], stdin=slave, stdout=slave, stderr=slave, env=env,
                                     close_fds=True, preexec_fn=controlling_terminal)
        os.close(slave)
        self.seen = b""
        self.expect(b"tarq> ")

    def send(self, data):
        os.write(self.master, data)

    def expect(self, what, timeout=60):
        """Reads until `what` appears after the previous match; returns what came before it."""
        end = time.time() + timeout
        while what not in self.seen:
            left = end - time.time()
            if left <= 0:
                raise AssertionError("expected %r, got %r" % (what, self.seen[-600:]))
            r, _, _ = select.select([self.master], [], [], left)
            if r:
                try:
                    chunk = os.read(self.master, 4096)
                except OSError:
                    chunk = b""
                if not chunk:
                    raise AssertionError("session ended; expected %r, got %r" % (what, self.seen[-600:]))
                self.seen += chunk
        before, _, self.seen = self.seen.partition(what)
        return before

    def close(self):
        self.send(b")quit\r")
        try:
            self.proc.wait(timeout=60)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
            os.close(self.master)
        return self.proc.returncode


class Repl(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.s = Session(self.dir.name)

    def tearDown(self):
        self.assertEqual(self.s.close(), 0)
        self.dir.cleanup()

    def test_open_groups_continue_and_an_empty_line_abandons(self):
        self.s.send(b"(1 +\r")
        self.s.expect(b"....> ")
        self.s.send(b"2) * 10\r")
        self.assertIn(b"30", self.s.expect(b"tarq> "))
        self.s.send(b"'two\r")
        self.s.expect(b"....> ")
        self.s.send(b"lines' #\r")
        self.assertIn(b"9", self.s.expect(b"tarq> "))  # the line end inside the quote is one character
        self.s.send(b"{1 +\r")
        self.s.expect(b"....> ")
        self.s.send(b"\r")
        self.assertIn(b"(input abandoned)", self.s.expect(b"tarq> "))

    def test_ctrl_c_at_the_prompt_discards_the_input(self):
        self.s.send(b"(1 +\r")
        self.s.expect(b"....> ")
        self.s.send(b"\x03")
        self.s.expect(b"tarq> ")
        self.s.send(b"5 + 5\r")
        self.assertIn(b"10", self.s.expect(b"tarq> "))

    def test_ctrl_c_typed_with_the_line_abandons_it(self):
        # The interrupt may land before the continuation prompt is read: it
        # still abandons the input rather than waiting for the next key.
        self.s.send(b"(1 +\r\x03")
        self.s.expect(b"tarq> ")
        self.s.send(b"6 * 7\r")
        self.assertIn(b"42", self.s.expect(b"tarq> "))

    def test_non_ascii_text_is_read_as_utf8(self):
        self.s.send("'\u00e9\u20ac' #\r".encode())  # two characters, one byte each inside
        self.assertIn(b"\r\n2\r\n", self.s.expect(b"tarq> "))
        self.s.send("'\u00e9\u20ac'\r".encode())
        self.assertIn("\u00e9\u20ac\r\n".encode(), self.s.expect(b"tarq> "))

    def test_ctrl_c_stops_a_running_script_and_the_session_goes_on(self):
        self.s.send(b"0 => i; :WHILE (1) {\r")
        self.s.expect(b"....> ")
        self.s.send(b"  i + 1 => i; :IF (i = 1) {'started' $}}\r")
        self.s.expect(b"\r\nstarted\r\n")  # printed, not echoed: the loop has gone round
        # On a loaded machine the terminal may not yet be back in its
        # signalling mode when the first Ctrl-C arrives; repeat it until the
        # run answers.
        for _ in range(30):
            self.s.send(b"\x03")
            try:
                out = self.s.expect(b"User Interrupt", timeout=2)
                break
            except AssertionError:
                continue
        out += b"User Interrupt" + self.s.expect(b"tarq> ")
        self.assertIn(b"User Interrupt", out)
        self.assertRegex(out, rb"\[\d+\^\d+:[1-9]\d*\]")  # a real position
        self.s.send(b"i > 0\r")
        self.assertIn(b"1", self.s.expect(b"tarq> "))

    def test_tab_completes_names_operators_fields_and_commands(self):
        self.s.send(b"41 => answerlong\r")
        self.s.expect(b"tarq> ")
        self.s.send(b"answerl\t + 1\r")
        self.assertIn(b"42", self.s.expect(b"tarq> "))
        self.s.send(b"0 #HCO\t\r")  # completes to #HCOS: the hyperbolic cosine of 0
        out = self.s.expect(b"tarq> ")
        self.assertIn(b"\r\n1\r\n", out)
        self.assertNotIn(b"error", out)
        self.s.send(b"#SYS :nsd\t :typec\r")  # :nsdump, a sequence
        self.assertIn(b"\r\nSeq\r\n", self.s.expect(b"tarq> "))
        self.s.send(b")verb\t\r")
        self.assertIn(b"Verbose on", self.s.expect(b"tarq> "))

    def test_quit_exit_and_help_typed_bare_say_what_to_type(self):
        self.s.send(b"quit\r")
        self.assertIn(b"Use )quit or Ctrl-D", self.s.expect(b"tarq> "))
        self.s.send(b"exit\r")
        self.assertIn(b"Use )quit or Ctrl-D", self.s.expect(b"tarq> "))
        self.s.send(b"help\r")
        self.assertIn(b"Type )help for the help topics", self.s.expect(b"tarq> "))
        self.s.send(b"3 => help\r")  # a name of the session is the user's own
        self.s.expect(b"tarq> ")
        self.s.send(b"help\r")
        out = self.s.expect(b"tarq> ")
        self.assertIn(b"\r\n3\r\n", out)
        self.assertNotIn(b"Type )help", out)

    def test_control_word_waiting_for_its_block_continues(self):
        self.s.send(b"0 => i; :WHILE (i < 3)\r")
        self.s.expect(b"....> ")
        self.s.send(b"{i + 1 => i}; i\r")
        out = self.s.expect(b"tarq> ")
        self.assertIn(b"\r\n3\r\n", out)
        self.assertNotIn(b"error", out)
        self.s.send(b":IF (0) {1} :ELSE\r")
        self.s.expect(b"....> ")
        self.s.send(b"{2}\r")
        self.assertIn(b"\r\n2\r\n", self.s.expect(b"tarq> "))

    def test_tab_after_a_colon_offers_the_fields_of_the_value_before_it(self):
        self.s.send(b"(0 #CLOCK) => when\r")
        self.s.expect(b"tarq> ")
        self.s.send(b"when :sp\t\r")  # :split is a clock's field only
        out = self.s.expect(b"tarq> ")
        self.assertNotIn(b"error", out)
        self.s.send(b"'abc' => s\r")
        self.s.expect(b"tarq> ")
        self.s.send(b"s :\t\t")  # two Tabs list the candidates
        listed = self.s.expect(b"tarq> ")
        self.assertIn(b":typec", listed)
        self.assertNotIn(b":split", listed)  # a string has no :split
        self.assertNotIn(b":WHILE", listed)  # nor is a control word offered after a value
        self.s.send(b"\x15:WH\t (0) {1}\r")  # at the start of a statement control words are
        self.assertNotIn(b"error", self.s.expect(b"tarq> "))

    def test_help_describes_an_operator(self):
        self.s.send(b")help #cos\r")
        out = self.s.expect(b"tarq> ")
        self.assertIn(b"Operator #COS", out)
        self.assertIn(b"monadic  N:Cosine", out)
        self.assertIn(b"Example: 0 #COS", out)
        self.assertIn(b"Result:  1", out)
        self.s.send(b")help\r")
        self.assertIn(b")help OP", self.s.expect(b"tarq> "))
        self.s.send(b")help nosuchthing\r")
        self.assertIn(b"No operator or topic", self.s.expect(b"tarq> "))

    def test_help_for_control_words_directives_and_apropos(self):
        self.s.send(b")help :for\r")
        out = self.s.expect(b"tarq> ")
        self.assertIn(b"Control word :FOR", out)
        self.assertIn(b"Example: 1 2 3 => x; :FOR (x) {x * 10}", out)
        self.s.send(b")help $T\r")
        self.assertIn(b"Directive $T", self.s.expect(b"tarq> "))
        self.s.send(b")help legend\r")
        self.assertIn(b"Description prefixes", self.s.expect(b"tarq> "))
        self.s.send(b")apropos sort\r")
        out = self.s.expect(b"tarq> ")
        self.assertIn(b">>>", out)
        self.assertIn(b"<<<", out)


class History(unittest.TestCase):
    def test_history_survives_the_session_in_the_state_directory(self):
        with tempfile.TemporaryDirectory() as d:
            s = Session(d)
            s.send(b"777 + 1\r")
            self.assertIn(b"778", s.expect(b"tarq> "))
            self.assertEqual(s.close(), 0)
            with open(os.path.join(d, "tarq", "history"), "rb") as f:
                self.assertIn(b"777", f.read())
            s = Session(d)
            s.send(b"\x1b[A\x1b[A\r")  # up arrow twice: before ")quit" came the line
            self.assertIn(b"778", s.expect(b"tarq> "))
            self.assertEqual(s.close(), 0)

    def test_history_file_is_kept_to_its_limit(self):
        with tempfile.TemporaryDirectory() as d:
            os.makedirs(os.path.join(d, "tarq"))
            path = os.path.join(d, "tarq", "history")
            with open(path, "w") as f:
                f.write("_HiStOrY_V2_\n" + "".join("%d\n" % i for i in range(3000)))
            s = Session(d)
            s.send(b"1 + 1\r")
            s.expect(b"tarq> ")
            self.assertEqual(s.close(), 0)
            with open(path, "rb") as f:
                entries = f.read().splitlines()[1:]
            self.assertLessEqual(len(entries), 1000)
            self.assertEqual(entries[-1], b")quit")
            self.assertIn(b"1\\040+\\0401", entries)  # the new line is kept, the oldest went


if __name__ == "__main__":
    unittest.main(verbosity=1)
