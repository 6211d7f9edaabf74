"""telmoralink_core on its own, without Blender: the skeleton, discovery, and a stream from the
test sender with its health."""

import math

import numpy
import telmoralink_core as core

from conftest import eventually


def test_default_skeleton_has_65_bones_with_parents_first():
    bones = core.default_skeleton()
    assert len(bones) == 65
    assert bones[0][0] == "Hips" and bones[0][1] == -1
    for index, (name, parent, rest) in enumerate(bones):
        assert name and 0 <= parent < index or index == 0
        assert all(math.isfinite(v) for v in rest)
    assert len({name for name, _, _ in bones}) == 65


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
    assert not stream.connected
    discovery.stop()
