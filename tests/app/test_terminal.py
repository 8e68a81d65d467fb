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

    # How far wsy gets before it is ended: at the output type's prompt, at
    # the driver's (NoSound's list), or playing (NoSound, auto-play on).
    def at_type_prompt(self, w):
        w.out.wait_contains(TYPE_MENU)
        self.assertFalse(w.terminal_modes()[3] & termios.ECHO, "keys are read one by one")

    def at_driver_prompt(self, w):
        w.out.wait_contains(TYPE_MENU)
        w.send(b"4")
        w.out.wait_contains(NOSOUND_LIST)

    # Each way out, and the exit status it gives.
    def ctrl_c(self, w):
        w.type_interrupt()
        return -signal.SIGINT

    def sigterm(self, w):
        w.signal(signal.SIGTERM)
        return -signal.SIGTERM

    def sighup(self, w):
        """What a closed terminal window sends. (The end of input, where the
        read gives nothing, is in the dialogue tests: it comes only through a
        pipe or a terminal that is gone, whose modes cannot be read.)"""
        w.signal(signal.SIGHUP)
        return -signal.SIGHUP

    def escape_key(self, w):
        w.send(b"\x1b")
        return 0

    def escape_in_the_window(self, w):
        wsytest.focus_window(self.display)
        wsytest.xdotool(self.display, "key", "Escape")
        return 0

    def test_every_way_out_leaves_the_terminal_as_found(self):
        ways = [
            ("Ctrl-C typed", self.at_type_prompt, self.ctrl_c),
            ("Ctrl-C typed", self.at_driver_prompt, self.ctrl_c),
            ("Ctrl-C typed", self.play, self.ctrl_c),
            ("SIGTERM", self.at_type_prompt, self.sigterm),
            ("SIGTERM", self.play, self.sigterm),
            ("SIGHUP", self.at_type_prompt, self.sighup),
            ("Escape", self.at_driver_prompt, self.escape_key),
            ("Escape in the window", self.play, self.escape_in_the_window),
        ]
        for way, reach, leave in ways:
            with wsytest.subtest_with_own_processes(self, way=way, at=reach.__name__):
                env = base_env()
                if leave == self.escape_in_the_window:
                    self.display = wsytest.start_xvfb(self)
                    env = base_env(DISPLAY=self.display)
                w, before = self.start(env)
                reach(w)
                status = leave(w)
                self.assertEqual(w.wait(), status)
                after = w.terminal_modes()
                self.assertTrue(after[3] & termios.ECHO, "echo left off")
                self.assertTrue(after[3] & termios.ICANON, "line mode left off")
                self.assertEqual(after, before)


if __name__ == "__main__":
    wsytest.check_binary()
    unittest.main()
