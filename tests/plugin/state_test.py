#!/usr/bin/env python3
"""The plugin's state: saved after a patch:Set, restored into a fresh
instance, it plays that patch from the first frame; the file is read again
if it is there, and where it is gone, the text the state holds plays the
same sound."""
import os
import shutil
import unittest

from lv2test import (BUNDLED_PATCH, MIDI_FRAMES, assert_only_plugin_log, assert_plays, example, host, midi_file,
                     render, temp_dir, write)


class PluginState(unittest.TestCase):
    def save(self, *args):
        state = os.path.join(temp_dir(self), "state")
        played = host(self, "--frames", 4410, *args, "--save-state", state, out=False)
        assert_only_plugin_log(self, played)
        self.assertTrue(os.path.isfile(os.path.join(state, "state.ttl")))
        return state, played

    def restored(self, state, midi, blocks="random:9"):
        played = host(self, "--restore-state", state, "--midi", midi, "--frames", MIDI_FRAMES, "--blocks", blocks)
        assert_only_plugin_log(self, played)
        return played

    def assert_announced(self, played, patch):
        """The restored patch is announced at frame 0, by the path the state
        gave back: lv2_host saves a link to the file in the state's folder."""
        [(frame, path)] = played.sets()
        self.assertEqual(frame, 0)
        self.assertEqual(os.path.realpath(path), os.path.realpath(patch))

    def test_saved_patch_plays_after_restore_and_without_its_file(self):
        d = temp_dir(self)
        patch = shutil.copy(example("tremolo"), os.path.join(d, "my patch.wsy"))
        midi = midi_file(self, "held_keys")
        state, played = self.save("--set-before-audio", "--set", "0:" + patch)
        self.assertEqual(played.sets(), [(0, patch)])

        expected = render(self, patch, "--midi", midi, "--frames", MIDI_FRAMES)
        self.assertNotEqual(expected, render(self, BUNDLED_PATCH, "--midi", midi, "--frames", MIDI_FRAMES))
        for blocks in ("64", "random:9"):
            with self.subTest(blocks=blocks):
                played = self.restored(state, midi, blocks)
                assert_plays(self, played.samples, expected, "restored, blocks %s" % blocks)
                self.assert_announced(played, patch)

        # The file gone: the state's text plays the same sound, and the log says so.
        os.remove(patch)
        played = self.restored(state, midi)
        assert_plays(self, played.samples, expected, "restored without the file")
        self.assertIn(os.path.basename(patch), played.stderr)
        self.assert_announced(played, patch)

        # The file there again but empty (being written, or spoilt): the
        # state's text plays, and the log says the file does not load.
        open(patch, "w").close()
        played = self.restored(state, midi)
        assert_plays(self, played.samples, expected, "restored with the file emptied")
        said = [l for l in played.stderr.splitlines() if l.startswith("plugin log: ")]
        self.assertEqual(len(said), 1, played.stderr)
        self.assertTrue(said[0].startswith("plugin log: Warning: "), said)
        self.assertIn("does not load (the file is empty)", said[0])
        os.remove(patch)

        # Saved again from there, the text is still in the state: restored
        # once more without the file, it plays the same.
        again, _ = self.save("--restore-state", state)
        assert_plays(self, self.restored(again, midi).samples, expected, "saved after a restore without the file")

    def test_the_file_as_it_is_now_when_it_is_there(self):
        d = temp_dir(self)
        patch = shutil.copy(example("vibrato"), os.path.join(d, "changing.wsy"))
        midi = midi_file(self, "notes")
        state, _ = self.save("--set-before-audio", "--set", "0:" + patch)
        shutil.copy(example("siren"), patch)
        expected = render(self, patch, "--midi", midi, "--frames", MIDI_FRAMES)
        self.assertNotEqual(expected, render(self, example("vibrato"), "--midi", midi, "--frames", MIDI_FRAMES))
        assert_plays(self, self.restored(state, midi).samples, expected, "restored from the changed file")

    def test_a_patch_set_while_playing_is_saved(self):
        midi = midi_file(self, "pedal")
        bell = example("fm_bell")
        state, played = self.save("--set", "100:" + bell, "--blocks", "64")
        self.assertEqual(played.sets(), [(128, bell)])
        assert_plays(self, self.restored(state, midi).samples,
                     render(self, bell, "--midi", midi, "--frames", MIDI_FRAMES), "restored after a set while playing")

    def test_the_bundled_patch_is_saved_too(self):
        midi = midi_file(self, "bend")
        state, played = self.save()
        self.assertEqual(played.sets(), [])
        assert_plays(self, self.restored(state, midi).samples,
                     render(self, BUNDLED_PATCH, "--midi", midi, "--frames", MIDI_FRAMES), "restored bundled patch")

    def test_control_values_are_saved(self):
        midi = midi_file(self, "bend")
        state, _ = self.save("--control", "bend_range=7")
        played = self.restored(state, midi)
        assert_plays(self, played.samples,
                     render(self, BUNDLED_PATCH, "--midi", midi, "--frames", MIDI_FRAMES, "--bend-range", "7"),
                     "restored bend range")


if __name__ == "__main__":
    unittest.main()
