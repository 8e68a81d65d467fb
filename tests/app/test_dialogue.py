"""The output dialogue of the real wsy, through a pseudo-terminal and through
pipes: exact texts, ignored keys, the ways out, and the terminal left as found."""

import os
import pty
import select
import signal
import subprocess
import termios
import time
import unittest

import wsytest
from wsytest import AUTO_PLAY, HELP, TYPE_MENU, Wsy, base_env, driver_list, work_dir

NOSOUND_LIST = driver_list(b"NoSound", [b"No sound"])


def stderr_lines(w):
    return [l for l in w.err.wait_closed().decode(errors="replace").splitlines() if l]


class Dialogue(unittest.TestCase):
    def start(self, **kw):
        return Wsy(self, work_dir(self), base_env(), **kw)

    def test_menus_ignore_other_keys_and_nosound_plays(self):
        w = self.start(terminal=True)
        w.out.wait_contains(TYPE_MENU)
        out = w.out.snapshot()
        self.assertTrue(out.startswith(b"OBJET [LFO1]\nVCO\nparamSET : [*FREQ=0]\n"), out[:100])
        self.assertTrue(out.endswith(TYPE_MENU), "nothing may follow the prompt")
        start = len(out)

        # '0', '5', letters, Enter (both codes), a byte from 0x80 up: all dropped, nothing echoed.
        w.send(b"05aZ\r\n\x80\xff4")
        w.out.wait_contains(NOSOUND_LIST, start=start)
        self.assertEqual(w.out.snapshot()[start:], NOSOUND_LIST)
        start += len(NOSOUND_LIST)

        # Driver prompt: '0' is index -1, '2' and ':' are past the one driver.
        w.send(b"02:x\r1")
        w.out.wait_contains(AUTO_PLAY + b"MIAM\n", timeout=20, start=start)
        self.assertEqual(w.out.snapshot()[start:start + len(HELP) + len(AUTO_PLAY)], HELP + AUTO_PLAY)

        modes = w.terminal_modes()
        self.assertTrue(modes[3] & termios.ICANON and modes[3] & termios.ECHO, "terminal left in raw mode")

        w.signal(signal.SIGINT)
        self.assertEqual(w.wait(), -signal.SIGINT)
        err = stderr_lines(w)
        self.assertIn("NoSound", err[-1])
        self.assertNotIn(b"wsy:", w.out.snapshot(), "diagnostics belong on standard error")

    def test_escape_at_the_output_type_prompt(self):
        w = self.start(terminal=True)
        before = w.initial_modes
        w.out.wait_contains(TYPE_MENU)
        w.send(b"\x1b")
        self.assertEqual(w.wait(), 0)
        self.assertTrue(w.out.snapshot().endswith(TYPE_MENU), w.out.snapshot()[-300:])
        self.assertEqual(w.terminal_modes(), before)
        self.assertEqual(stderr_lines(w), [])

    def test_escape_at_the_driver_prompt(self):
        w = self.start(terminal=True)
        before = w.initial_modes
        w.out.wait_contains(TYPE_MENU)
        w.send(b"4")
        w.out.wait_contains(NOSOUND_LIST)
        w.send(b"\x1b")
        self.assertEqual(w.wait(), 0)
        self.assertTrue(w.out.snapshot().endswith(TYPE_MENU + NOSOUND_LIST))
        self.assertEqual(w.terminal_modes(), before)

    def test_sigint_at_a_prompt_restores_the_terminal(self):
        w = self.start(terminal=True)
        before = w.initial_modes
        w.out.wait_contains(TYPE_MENU)  # printed once the terminal is in raw mode
        self.assertFalse(w.terminal_modes()[3] & termios.ECHO)
        w.signal(signal.SIGINT)
        self.assertEqual(w.wait(), -signal.SIGINT)
        self.assertEqual(w.terminal_modes(), before)

    def test_no_standard_input(self):
        w = self.start(stdin=subprocess.DEVNULL)
        self.assertEqual(w.wait(), 0)
        self.assertTrue(w.out.wait_closed().endswith(TYPE_MENU))
        err = stderr_lines(w)
        self.assertEqual(len(err), 1, err)
        self.assertIn("output type", err[0])
        self.assertIn("end of input", err[0])

    def test_end_of_input_at_the_driver_prompt(self):
        w = self.start()
        w.send(b"4")
        w.proc.stdin.close()
        self.assertEqual(w.wait(), 0)
        self.assertTrue(w.out.wait_closed().endswith(TYPE_MENU + NOSOUND_LIST))
        err = stderr_lines(w)
        self.assertEqual(len(err), 1, err)
        self.assertIn("driver", err[0])

    def test_terminal_gone_at_a_prompt(self):
        master, slave = pty.openpty()
        proc = subprocess.Popen([wsytest.WSY], cwd=work_dir(self), env=base_env(), stdin=slave, stdout=slave,
                                stderr=subprocess.PIPE, start_new_session=True)
        self.addCleanup(wsytest.stop, proc, signal.SIGKILL)
        os.close(slave)
        out = b""
        deadline = time.monotonic() + 20 * wsytest.SLOW
        while not out.replace(b"\r\n", b"\n").endswith(wsytest.PROMPT):
            ready, _, _ = select.select([master], [], [], max(0, deadline - time.monotonic()))
            self.assertTrue(ready, "no prompt: %r" % out[-300:])
            out += os.read(master, 4096)
        os.close(master)  # the terminal is gone: reads on it now fail
        self.assertEqual(proc.wait(20 * wsytest.SLOW), 0)
        err = [l for l in proc.stderr.read().decode().splitlines() if l]
        proc.stderr.close()
        self.assertEqual(len(err), 1, err)
        self.assertIn("output type", err[0])

    def test_closed_standard_input(self):
        w = Wsy(self, work_dir(self), base_env(), stdin=subprocess.DEVNULL, preexec=lambda: os.close(0))
        self.assertEqual(w.wait(), 0)
        self.assertTrue(w.out.wait_closed().endswith(TYPE_MENU))
        err = stderr_lines(w)
        self.assertEqual(len(err), 1, err)
        self.assertIn("Bad file descriptor", err[0])

    def test_keys_from_a_pipe_play(self):
        w = self.start()
        w.send(b"9\n41")
        w.out.wait_contains(HELP + AUTO_PLAY, timeout=20)
        self.assertIn(TYPE_MENU + NOSOUND_LIST + HELP + AUTO_PLAY, w.out.snapshot())
        w.signal(signal.SIGTERM)
        self.assertEqual(w.wait(), -signal.SIGTERM)

    def test_unknown_arguments_are_ignored_with_a_warning(self):
        w = Wsy(self, work_dir(self), base_env(), terminal=True, args=("--frobnicate", "RODUV_2.WSY", "4"))
        w.out.wait_contains(TYPE_MENU)
        w.send(b"\x1b")
        self.assertEqual(w.wait(), 0)
        self.assertTrue(w.out.snapshot().endswith(TYPE_MENU), w.out.snapshot()[-300:])
        warnings = [line for line in stderr_lines(w) if "ignoring the argument" in line]
        self.assertEqual(len(warnings), 3, stderr_lines(w))
        self.assertIn('"--frobnicate"', warnings[0])

    def test_help_and_version(self):
        for option, start in (("--help", b"usage: wsy "), ("--version", b"wsy ")):
            w = Wsy(self, work_dir(self), base_env(), terminal=False, args=(option, "--no-autoplay"))
            self.assertEqual(w.wait(), 0)
            self.assertTrue(w.out.snapshot().startswith(start), w.out.snapshot())
        w = Wsy(self, work_dir(self), base_env(), terminal=False, args=("--record",))
        self.assertEqual(w.wait(), 2)
        self.assertIn("needs a value", "".join(stderr_lines(w)))

    def test_missing_patch_file_ends_before_the_dialogue(self):
        w = Wsy(self, work_dir(self, patch=None), base_env(), terminal=True)
        self.assertEqual(w.wait(), 1)
        err = stderr_lines(w)
        self.assertTrue(err and "RODUV_2.WSY" in err[0], err)
        self.assertNotIn(b"Output Type", w.out.snapshot())

    def empty_list_or_skip(self, key, heading, label):
        w = self.start(terminal=True)
        w.out.wait_contains(TYPE_MENU)
        w.send(key)
        empty = driver_list(heading, [])
        w.out.wait_contains(wsytest.PROMPT, start=len(w.out.snapshot()))
        if not w.out.snapshot().endswith(empty):
            self.skipTest("this machine has %s devices" % label)
        w.err.wait_contains(b"\n")
        self.assertIn(b"no %s output device" % label.encode(), w.err.snapshot())
        w.send(b"1234")  # no driver to choose: only Escape acts
        w.send(b"\x1b")
        self.assertEqual(w.wait(), 0)
        self.assertTrue(w.out.snapshot().endswith(TYPE_MENU + empty), w.out.snapshot()[-400:])

    def test_empty_alsa_list_accepts_only_escape(self):
        self.empty_list_or_skip(b"1", b"Alsa", "ALSA")

    def test_empty_oss_list_accepts_only_escape(self):
        self.empty_list_or_skip(b"2", b"Open Sound System", "OSS")

    def test_jack_without_a_server_has_no_driver(self):
        self.empty_list_or_skip(b"3", b"ASIO", "JACK")


if __name__ == "__main__":
    wsytest.check_binary()
    unittest.main()
