"""Lumora in GNOME Files: "Keep on this device" and "Free up space" on the
files and folders of a Lumora folder, and an emblem for each file's state.

Installed as nautilus-python/extensions/lumora.py. The work is lumora-files',
which asks the domain's daemon; this only starts it.
"""

import os
import shutil
import subprocess

import gi

gi.require_version("Nautilus", "4.0")
from gi.repository import GObject, Nautilus  # noqa: E402

STATE_ATTRIBUTE = "user.lumora.state"
# A file's state as the daemon tells it, and the emblem that shows it (the
# package's icons, in hicolor). Cached files carry none: they are simply here.
EMBLEMS = {
    "cloud": "emblem-lumora-cloud",
    "streaming": "emblem-lumora-cloud",
    "partial": "emblem-lumora-partial",
    "downloading": "emblem-lumora-downloading",
    "kept": "emblem-lumora-kept",
}
MOUNTS_FILE = "/proc/self/mounts"


def _unescape(field):
    # The kernel writes spaces, tabs, new lines and backslashes as octal.
    for code, char in (("\\040", " "), ("\\011", "\t"), ("\\012", "\n"), ("\\134", "\\")):
        field = field.replace(code, char)
    return field


def lumora_folders():
    """The mount points of the Lumora domains mounted now."""
    folders = []
    try:
        with open(MOUNTS_FILE, encoding="utf-8", errors="surrogateescape") as mounts:
            for line in mounts:
                fields = line.split(" ")
                if len(fields) > 2 and fields[0].startswith("lumora:"):
                    folders.append(_unescape(fields[1]))
    except OSError:
        pass
    return folders


def in_lumora(path, folders):
    def under(candidate):
        return any(candidate == folder or candidate.startswith(folder.rstrip("/") + "/")
                   for folder in folders)

    # Mounted in a hidden folder and reached through a link to it (~/Lumora):
    # compared once links are resolved.
    return bool(folders) and (under(path) or under(os.path.realpath(path)))


def read_state(path):
    try:
        return os.getxattr(path, STATE_ATTRIBUTE).decode()
    except OSError:
        return None


def files_tool():
    return shutil.which("lumora-files") or "/usr/bin/lumora-files"


def _paths(files):
    paths = []
    for info in files:
        location = info.get_location()
        path = location.get_path() if location else None
        if not path:
            return []
        paths.append(path)
    return paths


class LumoraExtension(GObject.GObject, Nautilus.MenuProvider, Nautilus.InfoProvider):
    def get_file_items(self, files):
        paths = _paths(files)
        folders = lumora_folders()
        if not paths or not all(in_lumora(path, folders) for path in paths):
            return []
        keep = Nautilus.MenuItem(
            name="LumoraExtension::Keep",
            label="Keep on this device",
            tip="Download and keep on this device, also offline",
        )
        keep.connect("activate", self._run, "keep", paths)
        free = Nautilus.MenuItem(
            name="LumoraExtension::Free",
            label="Free up space",
            tip="Remove the downloaded contents; they stay in the cloud",
        )
        free.connect("activate", self._run, "free", paths)
        return [keep, free]

    def update_file_info(self, file):
        location = file.get_location()
        path = location.get_path() if location else None
        if not path or file.is_directory() or not in_lumora(path, lumora_folders()):
            return
        emblem = EMBLEMS.get(read_state(path) or "")
        if emblem:
            file.add_emblem(emblem)

    def _run(self, _item, command, paths):
        # In the background: lumora-files answers once the daemon has taken
        # the request, and a keep downloads on its own.
        subprocess.Popen([files_tool(), command, *paths], start_new_session=True)
