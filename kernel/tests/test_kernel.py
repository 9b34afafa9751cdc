#!/usr/bin/env python3
"""The Jupyter kernel over the protocol: the message samples of
jupyter_kernel_test, and what they do not cover (the error's parts, names kept
across errors, a cell printing 200,000 lines, interrupts by signal and by
message, interrupts while idle). Skips (exit 77) when the Jupyter modules are
missing; JUPYTER_PATH must name the directory holding kernels/tarq."""
import os
import signal
import sys
import time
import unittest

try:
    import jupyter_kernel_test as jkt
    from jupyter_client.manager import start_new_kernel
except ImportError as e:
    print(f"skipped: the Jupyter Python modules are missing ({e})")
    sys.exit(77)

TIMEOUT = 60


class TarqKernelMessages(jkt.KernelTests):
    kernel_name = "tarq"
    language_name = "tarq"
    file_extension = ".tq"
    code_hello_world = "'hello, world' $"
    code_stderr = "'\u4e2d' $"
    code_generate_error = "1 + 'x'"
    code_execute_result = [{"code": "1 + 2", "result": "3"}, {"code": "1 2 3 * 2", "result": "2 4 6"}]
    code_history_pattern = "1 2 3*"
    supported_history_operations = ("tail", "range", "search")
    completion_samples = [{"text": "0 #HCO", "matches": {"#HCOS"}}, {"text": ":WHI", "matches": {":WHILE"}}]
    complete_code_samples = ["1 + 2", "(1 + 2) * 3", ":WHILE (0) {1}", "'a)b'"]
    incomplete_code_samples = ["(1 + 2", "'abc", "{1;", ":WHILE (1)"]
    invalid_code_samples = ["1 + 2)", "}"]
    code_inspect_sample = "#COS"
    code_page_something = ")help #COS"
    code_display_data = [{"code": ")plot\n1 4 9 16", "mime": "image/svg+xml"},
                         {"code": ")bar\n(1 2 3) (3 2 1)", "mime": "image/svg+xml"}]


class TarqKernelSession(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.km, cls.kc = start_new_kernel(kernel_name="tarq")

    @classmethod
    def tearDownClass(cls):
        cls.kc.stop_channels()
        cls.km.shutdown_kernel(now=True)

    def run_cell(self, code, timeout=TIMEOUT):
        """Runs a cell; returns the reply and the iopub messages it caused."""
        msg_id = self.kc.execute(code)
        return self.collect(msg_id, timeout)

    def collect(self, msg_id, timeout=TIMEOUT):
        reply = self.kc.get_shell_msg(timeout=timeout)
        while reply["parent_header"].get("msg_id") != msg_id:
            reply = self.kc.get_shell_msg(timeout=timeout)
        msgs = []
        while True:
            m = self.kc.get_iopub_msg(timeout=timeout)
            if m["parent_header"].get("msg_id") != msg_id:
                continue
            if m["msg_type"] == "status" and m["content"]["execution_state"] == "idle":
                break
            msgs.append(m)
        return reply, msgs

    def test_error_parts_and_names_survive(self):
        reply, msgs = self.run_cell("5 => keep; 1 +\n 'x'")
        self.assertEqual(reply["content"]["status"], "error")
        self.assertEqual(reply["content"]["ename"], "Value error")
        self.assertEqual(reply["content"]["evalue"], "Type")
        errors = [m for m in msgs if m["msg_type"] == "error"]
        self.assertEqual(len(errors), 1)
        tb = errors[0]["content"]["traceback"]
        self.assertTrue(tb[0].startswith("[0^2:"), tb)
        self.assertIn("Value error", tb)
        reply, msgs = self.run_cell("keep")
        self.assertEqual(reply["content"]["status"], "ok")
        results = [m for m in msgs if m["msg_type"] == "execute_result"]
        self.assertEqual(results[0]["content"]["data"]["text/plain"], "5")

    def result_data(self, code):
        reply, msgs = self.run_cell(code)
        self.assertEqual(reply["content"]["status"], "ok", reply["content"])
        results = [m for m in msgs if m["msg_type"] == "execute_result"]
        self.assertEqual(len(results), 1)
        return results[0]["content"]["data"]

    def test_tables(self):
        data = self.result_data("#NS => n; 1 2 3 => n.a; 'x<y' => n.b; n")
        self.assertIn("<table>", data["text/html"])
        self.assertIn("<b>a</b>", data["text/html"])
        self.assertIn("x&lt;y", data["text/html"])
        data = self.result_data("#DICT => d; 1 =>['k1'] d; 2 =>['k2'] d; d")
        self.assertIn("<td style=\"text-align:left\">k2</td><td style=\"text-align:left\">2</td>", data["text/html"])
        data = self.result_data("#DICT => e; 0 => i; :WHILE (i < 150) {i + 1 => i; i * 2 =>[i] e;}; e")
        self.assertIn("50 more", data["text/html"])
        self.assertEqual(data["text/html"].count("<tr>"), 1 + 100 + 1)
        html = self.result_data("(.a .b) ((1 'x') (2 'y')) #RS")["text/html"]
        self.assertIn("<th style=\"text-align:left\">a</th><th style=\"text-align:left\">b</th>", html)
        self.assertEqual(html.count("<tr>"), 1 + 2)
        self.assertIn(">y</td>", html)
        html = self.result_data("#SET => s; 0 =>['b' 'a' 'b'] s; s")["text/html"]
        self.assertEqual(html.count("<tr>"), 1 + 2)
        self.assertIn(">Key</th></tr>", html)
        self.assertIn("<table>", self.result_data("#BAG => b; 1 =>['k'] b; 2 =>['k'] b; b")["text/html"])
        data = self.result_data("1 2 3")
        self.assertNotIn("text/html", data)

    def test_charts(self):
        reply, msgs = self.run_cell(")bar\n(1 2 3) (3 1 2)")
        shown = [m for m in msgs if m["msg_type"] == "display_data"]
        self.assertEqual(len(shown), 1)
        svg = shown[0]["content"]["data"]["image/svg+xml"]
        self.assertEqual(svg.count("<rect"), 6)
        self.assertIn(">position</text>", svg)
        reply, msgs = self.run_cell(")plot\n'not numbers'")
        self.assertFalse([m for m in msgs if m["msg_type"] == "display_data"])
        # The error's range is counted in the whole cell, in characters.
        reply, _ = self.run_cell(")plot\n'\u00e9' + 1 + 'x'")
        self.assertEqual(reply["content"]["tarq_range"], [12, 13])  # the "1"

    def test_many_lines_all_arrive(self):
        n = 200000
        reply, msgs = self.run_cell(f"0 => i; :WHILE (i < {n}) {{i + 1 => i; i $;}}; 0", timeout=240)
        self.assertEqual(reply["content"]["status"], "ok")
        streams = [m for m in msgs if m["msg_type"] == "stream"]
        self.assertLess(len(streams), 2000)  # batched
        text = "".join(m["content"]["text"] for m in streams if m["content"]["name"] == "stdout")
        lines = text.split("\n")
        self.assertEqual(lines[:3], ["1", "2", "3"])
        self.assertEqual(lines[n - 1], str(n))
        self.assertEqual(len([x for x in lines if x]), n)

    def interrupted(self, interrupt):
        msg_id = self.kc.execute(":WHILE (1) {1}")
        time.sleep(0.5)
        started = time.monotonic()
        interrupt()
        reply, _ = self.collect(msg_id, timeout=5)
        self.assertLess(time.monotonic() - started, 1.0)
        self.assertEqual(reply["content"]["status"], "error")
        self.assertEqual(reply["content"]["ename"], "User Interrupt")
        self.run_cell("7 => after")
        reply, msgs = self.run_cell("after")
        self.assertEqual(reply["content"]["status"], "ok")

    def test_interrupt_by_signal(self):
        self.interrupted(lambda: self.km.signal_kernel(signal.SIGINT))

    def test_interrupt_by_message(self):
        def send():
            msg = self.kc.session.msg("interrupt_request", {})
            self.kc.control_channel.send(msg)
        self.interrupted(send)

    def test_idle_interrupts_leave_it_alive(self):
        for _ in range(3):
            self.km.signal_kernel(signal.SIGINT)
            time.sleep(0.1)
        time.sleep(0.3)
        self.assertTrue(self.km.is_alive())
        reply, msgs = self.run_cell("1 + 1")
        self.assertEqual(reply["content"]["status"], "ok")
        results = [m for m in msgs if m["msg_type"] == "execute_result"]
        self.assertEqual(results[0]["content"]["data"]["text/plain"], "2")


def ended(pid):
    """True when the process is gone or a zombie nobody reaped yet."""
    try:
        with open(f"/proc/{pid}/status") as f:
            return any(line.startswith("State:\tZ") for line in f)
    except FileNotFoundError:
        return True


class TarqKernelProcess(unittest.TestCase):
    def setUp(self):
        import tempfile
        from jupyter_client.connect import write_connection_file
        self.kernel = os.environ.get("TARQ_KERNEL")
        if not self.kernel:
            self.skipTest("TARQ_KERNEL is not set")
        self.dir = tempfile.TemporaryDirectory()
        self.conn, _ = write_connection_file(os.path.join(self.dir.name, "conn.json"))

    def tearDown(self):
        self.dir.cleanup()

    def test_no_banner_on_stdout(self):
        import subprocess
        p = subprocess.Popen([self.kernel, "-f", self.conn], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        time.sleep(1.0)
        p.terminate()
        out, _ = p.communicate(timeout=10)
        self.assertEqual(out, b"")

    def test_ends_with_its_parent(self):
        import subprocess
        starter = ("import subprocess, sys, time\n"
                   "p = subprocess.Popen([sys.argv[1], '-f', sys.argv[2]], stderr=subprocess.DEVNULL)\n"
                   "print(p.pid, flush=True)\n"
                   "time.sleep(1.0)\n")
        parent = subprocess.Popen([sys.executable, "-c", starter, self.kernel, self.conn],
                                  stdout=subprocess.PIPE, text=True)
        pid = int(parent.stdout.readline())
        parent.wait(timeout=10)
        parent.stdout.close()
        deadline = time.monotonic() + 5
        while not ended(pid) and time.monotonic() < deadline:
            time.sleep(0.1)
        if not ended(pid):
            os.kill(pid, signal.SIGKILL)
            self.fail("the kernel outlived its parent")


if __name__ == "__main__":
    unittest.main(verbosity=2)
