"""The failure path with a real device: a JACK server at 48000 Hz cannot take
the 44100 Hz stream that --rate 44100 asks for, so the initialisation fails,
and then the stream cannot be created: "Error!" and the text of code 2, status 1."""

import unittest

import wsytest
from wsytest import HELP, TYPE_MENU, Wsy, base_env, driver_list, start_jack, work_dir


class StreamError(unittest.TestCase):
    def test_stream_without_initialised_layer_ends_with_status_1(self):
        name = start_jack(self, rate=48000, period=256)
        w = Wsy(self, work_dir(self), base_env(JACK_DEFAULT_SERVER=name), args=("--rate", "44100"))
        w.send(b"31")
        self.assertEqual(w.wait(), 1)
        listing = driver_list(b"ASIO", [b"system"])
        expected = (TYPE_MENU + listing + b"Error!\nError initializing output device.\n" + HELP +
                    b"Error!\nThis command failed because FSOUND_Init was not called\n")
        out = w.out.wait_closed()
        self.assertTrue(out.endswith(expected), out[-600:])
        err = w.err.wait_closed().decode()
        self.assertIn("runs at 48000 Hz, not at the 44100 Hz asked for", err)
        self.assertIn("leave out --rate", err, "the message says how to play at the server's rate")
        self.assertIn("-r 44100", err, "the message says how to start the server")


if __name__ == "__main__":
    wsytest.check_binary()
    unittest.main()
