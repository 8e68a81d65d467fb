"""Every way out of wsy leaves the terminal as it found it (echo and line mode
on): the program runs on a pseudo-terminal that is its controlling terminal,
so that Ctrl-C typed on it is a real interrupt, and the test reads the
terminal's modes after the process has ended."""

import fcntl
import os
import pty
import signal
import termios
import unittest

import wsytest
from wsytest import AUTO_PLAY, HELP, TYPE_MENU, Wsy, base_env, driver_list, work_dir

NOSOUND_LIST = driver_list(b"NoSound", [b"No sound"])


def controlling_terminal():
    """In the child, after setsid: the pty on standard input becomes its terminal."""
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


def fresh_terminal_modes():
    """The modes of a new pty set up as Wsy sets up its own, read before any
    program can touch it (the program may switch its own at once)."""
    master, slave = pty.openpty()
    try:
        attrs = termios.tcgetattr(slave)
        attrs[1] &= ~termios.OPOST
        termios.tcsetattr(slave, termios.TCSANOW, attrs)
        return termios.tcgetattr(slave)
    finally:
        os.close(slave)
        os.close(master)


class Terminal(unittest.TestCase):
    def start(self, env=None):
        before = fresh_terminal_modes()
        self.assertTrue(before[3] & termios.ECHO and before[3] & termios.ICANON)
        w = Wsy(self, work_dir(self), env or base_env(), terminal=True, preexec=controlling_terminal)
        return w, before

    def play(self, w):
        w.out.wait_contains(TYPE_MENU)
        w.send(b"4")
        w.out.wait_contains(NOSOUND_LIST)
        w.send(b"1")
        w.out.wait_contains(HELP + AUTO_PLAY, timeout=20)

    def assert_left_as_found(self, w, before):
        after = w.terminal_modes()
        self.assertTrue(after[3] & termios.ECHO, "echo left off")
        self.assertTrue(after[3] & termios.ICANON, "line mode left off")
        self.assertEqual(after, before)

    def test_ctrl_c_typed_at_the_output_type_prompt(self):
        w, before = self.start()
        w.out.wait_contains(TYPE_MENU)
        self.assertFalse(w.terminal_modes()[3] & termios.ECHO, "keys are read one by one")
        w.type_interrupt()
        self.assertEqual(w.wait(), -signal.SIGINT)
        self.assert_left_as_found(w, before)

    def test_ctrl_c_typed_at_the_driver_prompt(self):
        w, before = self.start()
        w.out.wait_contains(TYPE_MENU)
        w.send(b"4")
        w.out.wait_contains(NOSOUND_LIST)
        w.type_interrupt()
        self.assertEqual(w.wait(), -signal.SIGINT)
        self.assert_left_as_found(w, before)

    def test_ctrl_c_typed_while_playing(self):
        w, before = self.start()
        self.play(w)
        w.type_interrupt()
        self.assertEqual(w.wait(), -signal.SIGINT)
        self.assert_left_as_found(w, before)

    def test_sigterm_at_a_prompt(self):
        w, before = self.start()
        w.out.wait_contains(TYPE_MENU)
        w.signal(signal.SIGTERM)
        self.assertEqual(w.wait(), -signal.SIGTERM)
        self.assert_left_as_found(w, before)

    def test_sigterm_while_playing(self):
        w, before = self.start()
        self.play(w)
        w.signal(signal.SIGTERM)
        self.assertEqual(w.wait(), -signal.SIGTERM)
        self.assert_left_as_found(w, before)

    def test_escape_at_the_driver_prompt(self):
        w, before = self.start()
        w.out.wait_contains(TYPE_MENU)
        w.send(b"4")
        w.out.wait_contains(NOSOUND_LIST)
        w.send(b"\x1b")
        self.assertEqual(w.wait(), 0)
        self.assert_left_as_found(w, before)

    def test_escape_in_the_window(self):
        display = wsytest.start_xvfb(self)
        w, before = self.start(base_env(DISPLAY=display))
        self.play(w)
        wsytest.focus_window(display)
        wsytest.xdotool(display, "key", "Escape")
        self.assertEqual(w.wait(), 0)
        self.assert_left_as_found(w, before)

    def test_sighup_at_a_prompt(self):
        """What a closed terminal window sends. (The end of input, where the
        read gives nothing, is in the dialogue tests: it comes only through a
        pipe or a terminal that is gone, whose modes cannot be read.)"""
        w, before = self.start()
        w.out.wait_contains(TYPE_MENU)
        self.assertFalse(w.terminal_modes()[3] & termios.ECHO)
        w.signal(signal.SIGHUP)
        self.assertEqual(w.wait(), -signal.SIGHUP)
        self.assert_left_as_found(w, before)

if __name__ == "__main__":
    wsytest.check_binary()
    unittest.main()
