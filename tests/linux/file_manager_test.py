"""The file-manager integrations as the file managers load them: the GNOME
Files extension with Nautilus's own typelib, the action files through
desktop-file-validate."""

import importlib.util
import os
import pathlib
import stat
import subprocess
import sys
import tempfile
import time
import unittest

INTEGRATIONS = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")


class FakeFile:
    def __init__(self, path, directory=False):
        from gi.repository import Gio

        self.location = Gio.File.new_for_path(path)
        self.directory = directory
        self.emblems = []

    def get_location(self):
        return self.location

    def is_directory(self):
        return self.directory

    def add_emblem(self, emblem):
        self.emblems.append(emblem)


class NautilusExtensionTest(unittest.TestCase):
    def setUp(self):
        spec = importlib.util.spec_from_file_location("lumora", INTEGRATIONS / "lumora-nautilus.py")
        self.module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(self.module)
        self.folder = tempfile.TemporaryDirectory()
        root = pathlib.Path(self.folder.name)
        mounts = root / "mounts"
        mounts.write_text(
            "/dev/sda1 / ext4 rw 0 0\nlumora:com.example /home/u/My\\040Cloud fuse rw 0 0\n")
        self.module.MOUNTS_FILE = str(mounts)
        # A stand-in for lumora-files that says what it was asked.
        self.asked = root / "asked"
        tool = root / "lumora-files"
        tool.write_text(f"#!/bin/sh\necho \"$@\" > {self.asked}\n")
        tool.chmod(tool.stat().st_mode | stat.S_IXUSR)
        self.module.files_tool = lambda: str(tool)

    def tearDown(self):
        self.folder.cleanup()

    def test_offers_keep_and_free_in_a_lumora_folder_only(self):
        extension = self.module.LumoraExtension()
        inside = [FakeFile("/home/u/My Cloud/a.txt"), FakeFile("/home/u/My Cloud/docs", True)]
        items = extension.get_file_items(inside)
        self.assertEqual([item.props.label for item in items],
                         ["Keep on this device", "Free up space"])
        self.assertEqual(extension.get_file_items([FakeFile("/home/u/My Cloudy/a")]), [])
        # Through a link to the mount, as the sidebar bookmark opens it.
        link = pathlib.Path(self.folder.name) / "Cloud"
        link.symlink_to("/home/u/My Cloud")
        self.assertEqual(len(extension.get_file_items([FakeFile(str(link / "a.txt"))])), 2)
        items[0].activate()
        for _ in range(100):
            if self.asked.exists():
                break
            time.sleep(0.05)
        self.assertEqual(self.asked.read_text(),
                         "keep /home/u/My Cloud/a.txt /home/u/My Cloud/docs\n")

    def test_an_emblem_per_state(self):
        extension = self.module.LumoraExtension()
        for state, emblem in (("kept", "emblem-lumora-kept"), ("cloud", "emblem-lumora-cloud"),
                              ("partial", "emblem-lumora-partial"),
                              ("downloading", "emblem-lumora-downloading"), ("cached", None)):
            self.module.read_state = lambda _path, state=state: state
            file = FakeFile("/home/u/My Cloud/a.txt")
            extension.update_file_info(file)
            self.assertEqual(file.emblems, [emblem] if emblem else [], state)


class ActionFilesTest(unittest.TestCase):
    def validate(self, name):
        result = subprocess.run(["desktop-file-validate", str(INTEGRATIONS / name)],
                                capture_output=True, text=True)
        return [line for line in result.stdout.splitlines() if line.strip()]

    def test_the_dolphin_service_menu_is_valid(self):
        self.assertEqual(self.validate("lumora-files.desktop"), [])

    def test_the_file_manager_actions_are_valid_but_for_their_own_keys(self):
        # Type=Action and Profiles are what that format is made of; the
        # validator knows only application entries.
        for name in ("lumora-keep.desktop", "lumora-free.desktop"):
            problems = [line for line in self.validate(name)
                        if '"Action" for key "Type"' not in line and 'key "Profiles"' not in line]
            self.assertEqual(problems, [], name)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
