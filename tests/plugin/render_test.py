#!/usr/bin/env python3
"""The LV2 plugin in lv2_host plays what wsy-render renders: left is
L / 32768 and right R / 32768, every frame, whichever way run() cuts the
audio (runs of no frames too), with the bundled patch and with an example
set through patch:Set, at 44100, 48000, 22050 and 96000 Hz (a rate wsy
cannot play is refused through the log), with its control ports, and with
patches set while it plays. A file that does not load keeps the patch, and
the plugin says why through the host's log alone."""
import os
import subprocess
import unittest

from lv2test import (BUNDLED_PATCH, HOST, MIDI_FILES, MIDI_FRAMES, assert_only_plugin_log, assert_plays, example, host,
                     midi_file, render, temp_dir, write)
from wsytest import SLOW

BLOCKS = ["7", "64", "4096", "random:1", "random:2024"]
# Run()s of one frame on the shortest files only: a run() a frame is slow, and
# the sanitizer builds run this too.
ONE_FRAME_FILES = ["bend", "all_notes_off"]


class PluginPlaysWhatWsyRenderRenders(unittest.TestCase):
    def check(self, patch, name, blocks, set_patch):
        midi = midi_file(self, name)
        args = ["--midi", midi, "--frames", MIDI_FRAMES, "--blocks", blocks]
        if set_patch:
            args += ["--set-before-audio", "--set", "0:" + patch]
        played = host(self, *args)
        assert_only_plugin_log(self, played)
        self.assertEqual(played.sets(), [(0, patch)] if set_patch else [])
        rendered = self.reference(patch, name, midi)
        assert_plays(self, played.samples, rendered, "%s, %s, blocks %s" % (os.path.basename(patch), name, blocks))

    def reference(self, patch, name, midi):
        key = (patch, name)
        if key not in self.references:
            rendered = render(self, patch, "--midi", midi, "--frames", MIDI_FRAMES)
            # A render that sounds, so that equality says something.
            self.assertGreater(max(abs(s) for s in rendered), 1000, "%s plays %s silently" % (patch, name))
            self.references[key] = rendered
        return self.references[key]

    def setUp(self):
        self.references = {}

    def test_bundled_patch(self):
        for name in MIDI_FILES:
            for blocks in BLOCKS + (["1"] if name in ONE_FRAME_FILES else []):
                with self.subTest(midi=name, blocks=blocks):
                    self.check(BUNDLED_PATCH, name, blocks, set_patch=False)

    def test_example_patch_set_before_audio(self):
        for name in MIDI_FILES:
            for blocks in BLOCKS + (["1"] if name in ONE_FRAME_FILES else []):
                with self.subTest(midi=name, blocks=blocks):
                    self.check(example("fm_bell"), name, blocks, set_patch=True)
        # The set made a difference: the example does not sound like the bundled patch.
        self.assertNotEqual(self.references[(example("fm_bell"), "notes")][:20000],
                            render(self, BUNDLED_PATCH, "--midi", midi_file(self, "notes"), "--frames", 20000))

    def test_every_example_patch(self):
        midi = midi_file(self, "held_keys")
        for patch in sorted(os.listdir(os.path.dirname(example("chord")))):
            with self.subTest(patch=patch):
                self.check(example(patch[:-4]), "held_keys", "random:7", set_patch=True)

    def test_messages_in_runs_of_no_frames(self):
        # With run()s of one frame, every message goes in a run() of 0 frames.
        for name, blocks in (("bend", "1"), ("held_keys", "64"), ("pedal", "random:8"), ("flood", "random:8"),
                             ("channels", "4096")):
            with self.subTest(midi=name, blocks=blocks):
                midi = midi_file(self, name)
                played = host(self, "--midi", midi, "--frames", MIDI_FRAMES, "--blocks", blocks, "--zero-runs")
                assert_only_plugin_log(self, played)
                assert_plays(self, played.samples, self.reference(BUNDLED_PATCH, name, midi),
                             "%s, blocks %s, runs of 0 frames" % (name, blocks))

    def test_other_rates(self):
        for rate, name, blocks in ((48000, "notes", "64"), (48000, "bend", "random:3"), (48000, "pedal", "4096"),
                                   (22050, "held_keys", "random:6"), (96000, "channels", "random:10")):
            with self.subTest(rate=rate, midi=name, blocks=blocks):
                midi = midi_file(self, name)
                frames = rate * 3 // 2
                played = host(self, "--midi", midi, "--frames", frames, "--blocks", blocks, rate=rate)
                rendered = render(self, BUNDLED_PATCH, "--midi", midi, "--frames", frames, rate=rate)
                assert_plays(self, played.samples, rendered, "%s at %d Hz" % (name, rate))
                assert_only_plugin_log(self, played)
        # At 48000 Hz the notes come at other frames than at 44100.
        at_44100 = render(self, BUNDLED_PATCH, "--midi", midi_file(self, "notes"), "--frames", 72000)
        self.assertNotEqual(at_44100, render(self, BUNDLED_PATCH, "--midi", midi_file(self, "notes"), "--frames",
                                             72000, rate=48000))

    def test_a_rate_wsy_cannot_play(self):
        for rate in (4000, 200000):
            with self.subTest(rate=rate):
                r = subprocess.run([HOST, "--rate", str(rate), "--frames", "100"], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, timeout=60 * SLOW)
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stdout, b"")
                lines = r.stderr.decode().splitlines()
                self.assertEqual(len(lines), 2, lines)
                self.assertTrue(lines[0].startswith("plugin log: Error: "), lines)
                self.assertIn(str(rate), lines[0])
                self.assertEqual(lines[1], "lv2_host: the plugin did not instantiate")

    def test_control_ports(self):
        cases = [("bend", ["bend_range=12"], ["--bend-range", "12"]),
                 ("bend", ["bend_range=0"], ["--bend-range", "0"]),
                 ("channels", ["midi_channel=2"], ["--midi-channel", "2"]),
                 ("channels", ["midi_channel=3", "bend_range=24"], ["--midi-channel", "3", "--bend-range", "24"])]
        for name, controls, options in cases:
            with self.subTest(midi=name, controls=controls):
                midi = midi_file(self, name)
                args = ["--midi", midi, "--frames", MIDI_FRAMES, "--blocks", "random:5"]
                for c in controls:
                    args += ["--control", c]
                played = host(self, *args)
                rendered = render(self, BUNDLED_PATCH, "--midi", midi, "--frames", MIDI_FRAMES, *options)
                assert_plays(self, played.samples, rendered, "%s with %s" % (name, controls))
                # The control changed the sound.
                self.assertNotEqual(rendered, render(self, BUNDLED_PATCH, "--midi", midi, "--frames", MIDI_FRAMES))

    def test_patch_set_while_playing_and_get(self):
        d = temp_dir(self)
        midi = midi_file(self, "held_keys")
        bell, siren = example("fm_bell"), example("siren")
        # Run()s of 64 frames, the worker synchronous: a set in the run() from
        # frame 960 sounds from the next run(), at 1024.
        played = host(self, "--midi", midi, "--frames", MIDI_FRAMES, "--blocks", "64", "--get", 100, "--set",
                      "1000:" + bell, "--get", 5000, "--set", "20000:" + siren, "--get", 20000, "--get", 20100)
        self.assertEqual(played.sets(), [(1024, bell), (20032, siren)])
        notifies = played.notifies()
        self.assertEqual([f for f, _ in notifies], [100, 5000, 20000, 20100])
        self.assertTrue(os.path.samefile(notifies[0][1], BUNDLED_PATCH), notifies[0][1])
        self.assertEqual([p for _, p in notifies[1:]], [bell, bell, siren])
        script = write(os.path.join(d, "swaps.events"), "1024 patch %s\n20032 patch %s\n" % (bell, siren))
        rendered = render(self, BUNDLED_PATCH, "--midi", midi, "--frames", MIDI_FRAMES, "--events", script)
        assert_plays(self, played.samples, rendered, "sets at 1000 and 20000")
        # Any run() sizes: each set sounds from the frame the host was told.
        for blocks in ("random:11", "4096", "7"):
            with self.subTest(blocks=blocks):
                played = host(self, "--midi", midi, "--frames", MIDI_FRAMES, "--blocks", blocks, "--set",
                              "1000:" + bell, "--set", "20000:" + siren)
                sets = played.sets()
                self.assertEqual([p for _, p in sets], [bell, siren])
                self.assertGreater(sets[0][0], 1000)
                self.assertGreater(sets[1][0], 20000)
                script = write(os.path.join(d, "swaps.events"), "".join("%d patch %s\n" % s for s in sets))
                rendered = render(self, BUNDLED_PATCH, "--midi", midi, "--frames", MIDI_FRAMES, "--events", script)
                assert_plays(self, played.samples, rendered, "sets at 1000 and 20000, blocks %s" % blocks)

    def test_a_path_sent_as_a_string(self):
        midi = midi_file(self, "pedal")
        chord = example("chord")
        played = host(self, "--midi", midi, "--frames", MIDI_FRAMES, "--blocks", "random:4", "--string-values",
                      "--set-before-audio", "--set", "0:" + chord)
        self.assertEqual(played.sets(), [(0, chord)])
        assert_plays(self, played.samples, render(self, chord, "--midi", midi, "--frames", MIDI_FRAMES), "chord")

    def test_a_file_that_does_not_load_keeps_the_patch(self):
        d = temp_dir(self)
        empty = write(os.path.join(d, "empty.wsy"), "")
        blank = write(os.path.join(d, "blank.wsy"), " \n\t\n")
        missing = os.path.join(d, "missing.wsy")
        folder = os.path.join(d, "folder.wsy")
        os.mkdir(folder)
        midi = midi_file(self, "notes")
        rendered = render(self, BUNDLED_PATCH, "--midi", midi, "--frames", MIDI_FRAMES)
        for bad in (empty, blank, missing, folder):
            for before_audio in (True, False):
                with self.subTest(file=os.path.basename(bad), before_audio=before_audio):
                    args = ["--midi", midi, "--frames", MIDI_FRAMES, "--get", 30000, "--set",
                            ("0:" if before_audio else "10000:") + bad]
                    if before_audio:
                        args.append("--set-before-audio")
                    played = host(self, *args)
                    # No announcement; patch:Get still names the bundled patch.
                    self.assertEqual(played.sets(), [])
                    [(frame, path)] = played.notifies()
                    self.assertEqual(frame, 30000)
                    self.assertTrue(os.path.samefile(path, BUNDLED_PATCH), path)
                    assert_plays(self, played.samples, rendered, "after %s" % bad)
                    # Why, through the log, as an error naming the file; nothing else anywhere.
                    assert_only_plugin_log(self, played)
                    errors = [l for l in played.stderr.splitlines() if l.startswith("plugin log: Error: ")]
                    self.assertEqual(len(errors), 1, played.stderr)
                    self.assertIn(bad, errors[0])
                    self.assertEqual(played.lines, ["notify 30000 patch " + path])

    def test_a_set_without_a_usable_path_keeps_the_patch_and_says_why(self):
        midi = midi_file(self, "notes")
        rendered = render(self, BUNDLED_PATCH, "--midi", midi, "--frames", MIDI_FRAMES)
        too_long = "/" + "x" * 3000 + ".wsy"
        for path, why in (("", "without a file path"), (too_long, "a path of %d bytes" % len(too_long))):
            with self.subTest(why=why):
                played = host(self, "--midi", midi, "--frames", MIDI_FRAMES, "--set", "10000:" + path)
                self.assertEqual(played.sets(), [])
                assert_plays(self, played.samples, rendered, "after a set " + why)
                assert_only_plugin_log(self, played)
                errors = [l for l in played.stderr.splitlines() if l.startswith("plugin log: Error: ")]
                self.assertEqual(len(errors), 1, played.stderr)
                self.assertIn(why, errors[0])

    def test_a_patch_that_loads_with_warnings_says_them_through_the_log(self):
        d = temp_dir(self)
        odd = write(os.path.join(d, "odd.wsy"), "LFO1;*FREQ=2;\nVCO1;LFO1:MOD_PHASE;NOWHERE:MOD_AMP;\nMIXER1;VCO1:IN1;\n")
        midi = midi_file(self, "notes")
        played = host(self, "--midi", midi, "--frames", MIDI_FRAMES, "--set-before-audio", "--set", "0:" + odd)
        self.assertEqual(played.sets(), [(0, odd)])
        assert_only_plugin_log(self, played)
        warnings = [l for l in played.stderr.splitlines() if l.startswith("plugin log: Warning: ")]
        self.assertEqual(len(warnings), 1, played.stderr)
        self.assertIn('"NOWHERE"', warnings[0])
        assert_plays(self, played.samples, render(self, odd, "--midi", midi, "--frames", MIDI_FRAMES), "odd.wsy")


if __name__ == "__main__":
    unittest.main()
