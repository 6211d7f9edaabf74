"""Figures of the add-on, printed (not a test).

Headless (`blender -b`): the main-thread time of one update of 65 bones (the stream's snapshot
and health, the armature pose, foreach_set) through the ctypes binding and, given the folder of
an extension module of the older build (`--pybind DIR` holding telmoralink_core*.so), through
that module, interleaved in one run; and the cost of a 60 s recording's keys at 30 fps.

With a window (under Xvfb, `--window`): the time from the sender's sendto to the frame's pose on
the armature, median and p99, with the sender at 60 and at 120 Hz and Blender's own timer
driving the add-on as it does for a user (both processes read the same monotonic clock; the
k-th pose of the stream is the k-th frame the sender sent it).

    blender -b --factory-startup --python blender/tests/figures.py -- \\
        build/blender build/tools/sim_server/telmora-sim-server [--pybind DIR]
    xvfb-run -a blender --factory-startup --python blender/tests/figures.py -- \\
        build/blender build/tools/sim_server/telmora-sim-server --window
"""

import os
import sys
import tempfile
import time

import addon_utils
import bpy
import numpy

arguments = sys.argv[sys.argv.index("--") + 1:]
addon_parent, sim_server = arguments[:2]
pybind_dir = arguments[arguments.index("--pybind") + 1] if "--pybind" in arguments else None
windowed = "--window" in arguments
sys.path.insert(0, addon_parent)
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
os.environ["TELMORA_SIM_SERVER"] = sim_server

from conftest import Sender, eventually, free_udp_port  # noqa: E402

addon_utils.enable("telmoralink", default_set=True)
import telmoralink  # noqa: E402
from telmoralink import core, live  # noqa: E402

scene = bpy.context.scene


def stream_armature(sender, options=()):
    """Connect, choose the sender's walk, Create armature: the armature and its connection."""
    telmoralink.preferences().port = sender.port
    bpy.ops.telmoralink.connect()
    eventually(lambda: live.LIVE.discoveries.servers())
    scene.telmoralink.source = sender.name
    scene.telmoralink.subject = "walk"
    bpy.ops.telmoralink.create_armature()
    armature = bpy.context.view_layer.objects.active
    connection = live.LIVE.connection(armature)
    eventually(lambda: connection.stream.snapshot()[0] > 10)
    return armature, connection


def update_figures():
    sender = Sender(free_udp_port(), name="Figures updates", rate=120)
    try:
        armature, connection = stream_armature(sender)
        bindings = [("ctypes", core, connection.stream)]
        if pybind_dir:
            sys.path.insert(0, pybind_dir)
            import telmoralink_core as pybind
            old = pybind.Stream()
            server = connection.server
            old.connect(server["ip"], server["stream_port"], "walk")
            eventually(lambda: old.snapshot()[0] > 10)
            bindings.append(("pybind11", pybind, old))
        times = {name: [] for name, _, _ in bindings}
        for _ in range(1000):
            for name, module, stream in bindings:
                live.core, connection.stream = module, stream
                connection.shown_sequence = -1  # always a new pose to show
                started = time.perf_counter()
                connection.update(scene, armature)
                times[name].append(time.perf_counter() - started)
        live.core, connection.stream = core, bindings[0][2]
        for name, taken in times.items():
            taken = numpy.array(taken) * 1000.0
            print("FIGURE update of 65 bones through %-8s median %.3f ms, p99 %.3f ms" % (
                name + ":", numpy.median(taken), numpy.percentile(taken, 99)), flush=True)
        if pybind_dir:
            bindings[1][2].disconnect()

        recording = live.Recording(1)
        pose = connection.pose
        started = time.perf_counter()
        for frame in range(1, 60 * 30 + 1):
            recording.add(frame, *pose)
        sampled = time.perf_counter() - started
        started = time.perf_counter()
        live.write_action(armature, recording)
        written = time.perf_counter() - started
        print("FIGURE a 60 s recording at 30 fps (1800 keys of 65 bones): sampling %.3f ms a "
              "frame, writing the action %.3f s" % (1000.0 * sampled / 1800, written), flush=True)
    finally:
        sender.stop()


def latency_figures():
    """Generator run by a timer: Blender's loop runs between its steps."""
    posed = []
    original_update = live.Connection.update

    def timed_update(self, scene, armature):
        shown = self.shown_sequence
        original_update(self, scene, armature)
        if self.shown_sequence != shown:
            posed.append((self.shown_sequence, time.monotonic()))
    live.Connection.update = timed_update
    for rate in (60, 120):
        send_times = os.path.join(tempfile.gettempdir(), "telmora-send-times-%d" % os.getpid())
        sender = Sender(free_udp_port(), name="Figures %d" % rate, rate=rate,
                        options=("--send-times", send_times))
        try:
            armature, connection = stream_armature(sender)
            del posed[:]
            end = time.monotonic() + 5.0
            while time.monotonic() < end:
                yield
            health = connection.stream.health()
            sender.stop()
            with open(send_times) as lines:
                sent = [int(line.split()[1]) / 1e6 for line in lines]
            os.remove(send_times)
            if health["refused"] or health["gaps"] or len(sent) < posed[-1][0]:
                print("FIGURE %3d Hz: frames were lost; no sendto figure" % rate, flush=True)
            else:
                latencies = numpy.array([at - sent[k - 1] for k, at in posed]) * 1e3
                print("FIGURE %3d Hz, windowed: sendto to pose median %.2f ms, p99 %.2f ms "
                      "(%d poses in 5 s)" % (rate, numpy.median(latencies),
                                             numpy.percentile(latencies, 99), len(posed)),
                      flush=True)
            live.LIVE.disconnect(armature)
        finally:
            sender.stop()


if windowed:
    steps = latency_figures()

    def run():
        try:
            next(steps)
            return 0.005
        except StopIteration:
            live.LIVE.stop()
            os._exit(0)
    bpy.app.timers.register(run, first_interval=1.0)
else:
    update_figures()
    addon_utils.disable("telmoralink", default_set=True)
