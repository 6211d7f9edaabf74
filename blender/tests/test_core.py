"""The add-on's binding of the C API (telmoralink/core.py, ctypes) on its own, without Blender:
the skeleton, discovery, a stream from the test sender with its health, and the one line said
when the library cannot load."""

import importlib.util
import math
import os
import shutil
import sys

import numpy
import pytest

from conftest import eventually

ADDON = os.path.join(os.environ["PYTHONPATH"].split(os.pathsep)[0], "telmoralink")


def load_core(folder):
    """core.py from `folder` as a module of its own (the package's __init__ needs Blender)."""
    name = "telmora_core_%d" % len(sys.modules)
    found = importlib.util.spec_from_file_location(name, os.path.join(folder, "core.py"))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


core = load_core(ADDON)


def test_default_skeleton_has_65_bones_with_parents_first():
    assert core.load_error() is None
    bones = core.default_skeleton()
    assert len(bones) == 65
    assert bones[0][0] == "Hips" and bones[0][1] == -1
    for index, (name, parent, rest) in enumerate(bones):
        assert name and 0 <= parent < index or index == 0
        assert all(math.isfinite(v) for v in rest)
    assert len({name for name, _, _ in bones}) == 65


@pytest.mark.parametrize("library", ["missing", "not a library"])
def test_a_library_that_cannot_load_is_said_in_one_line(tmp_path, library):
    shutil.copy(os.path.join(ADDON, "core.py"), tmp_path)
    if library == "not a library":
        (tmp_path / os.path.basename(core.library_path())).write_text("no library\n")
    broken = load_core(str(tmp_path))
    error = broken.load_error()
    assert error.startswith("TelmoraLink's library cannot load") and "\n" not in error
    with pytest.raises(broken.CoreUnavailable, match="cannot load"):
        broken.Stream()


def test_bad_arguments_come_back_as_the_library_s_message():
    with pytest.raises(core.CoreError, match="port 0 is not between 1 and 65535"):
        core.Discovery(0)
    stream = core.Stream()
    with pytest.raises(core.CoreError, match="is not an IPv4 address"):
        stream.connect("no address", 23000, "walk")
    assert not stream.connected


def test_a_stream_from_the_sender_gives_whole_finite_poses_and_health(sender):
    discovery = core.Discovery(sender.port)
    assert discovery.listening
    assert eventually(lambda: any(s["name"] == sender.name for s in discovery.servers()))
    server = next(s for s in discovery.servers() if s["name"] == sender.name)
    assert server["subjects"] == ["walk"]

    stream = core.Stream()
    sequence, translations, rotations = stream.snapshot()
    assert sequence == 0
    stream.connect(server["ip"], server["stream_port"], "walk")
    assert eventually(lambda: stream.snapshot()[0] > 30)
    sequence, translations, rotations = stream.snapshot()
    assert translations.shape == (65, 3) and rotations.shape == (65, 4)
    assert numpy.isfinite(translations).all() and numpy.isfinite(rotations).all()
    assert numpy.allclose(numpy.linalg.norm(rotations, axis=1), 1.0, atol=1e-9)
    # The hips stand about a metre above the floor.
    assert 50.0 < translations[0][1] < 150.0
    health = stream.health()
    assert health["any_frame"] and not health["stale"] and health["refused"] == 0
    assert eventually(lambda: stream.health()["rate_hz"] > 60.0)

    # A sender that stops answering makes the stream stale; frames bring it back.
    sender.pause()
    assert eventually(lambda: stream.health()["stale"])
    held = stream.snapshot()[0]
    sender.resume()
    assert eventually(lambda: stream.snapshot()[0] > held and not stream.health()["stale"])

    stream.disconnect()
    assert not stream.connected and stream.snapshot()[0] == 0
    discovery.stop()
    assert discovery.servers() == []
