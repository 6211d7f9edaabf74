"""Figures of the retargeting, printed (not a test), headless:
- the main-thread time of one retargeted update (the stream's snapshot, the core's solve, the
  pose written) on Rigify's metarig and on a 150-bone rig;
- the time to import a 10-minute capture of a 120 Hz stream onto a rig at 30 fps (the capture
  made by the monitor from 3 s of the walk, repeated to ten minutes).

    blender -b --factory-startup --python blender/tests/retarget_figures.py -- \\
        build/blender build/tools/sim_server/telmora-sim-server \\
        build/tools/monitor/telmora-monitor
"""

import os
import struct
import subprocess
import sys
import tempfile
import time

import bpy
import numpy

addon_parent, sim_server, monitor = sys.argv[sys.argv.index("--") + 1:][:3]
sys.path.insert(0, addon_parent)
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
os.environ["TELMORA_SIM_SERVER"] = sim_server

import addon_utils  # noqa: E402
import rigs  # noqa: E402
from conftest import Sender, eventually, free_udp_port  # noqa: E402

addon_utils.enable("telmoralink", default_set=True)
import telmoralink  # noqa: E402
from telmoralink import core, live  # noqa: E402

bpy.ops.wm.read_homefile(use_empty=True)
scene = bpy.context.scene
skeleton = core.default_skeleton()
metarig = rigs.rigify_metarig()
big = rigs.unreal_rig(skeleton, name="big", extra=150 - len(rigs.UNREAL_NAMES))
for armature in (metarig, big):
    bpy.context.view_layer.objects.active = armature
    bpy.ops.telmoralink.auto_map()
    if armature is big:
        rigs.pose_a_to_t(big)
    bpy.ops.telmoralink.calibrate()

folder = tempfile.mkdtemp()
capture_path = os.path.join(folder, "walk.pcap")
sender = Sender(free_udp_port(), name="Figures Walk", rate=120)
try:
    telmoralink.preferences().port = sender.port
    bpy.ops.telmoralink.connect()
    eventually(lambda: live.LIVE.discoveries.servers())
    scene.telmoralink.source = sender.name
    scene.telmoralink.subject = "walk"
    for armature in (metarig, big):
        bpy.context.view_layer.objects.active = armature
        bpy.ops.telmoralink.follow()
        connection = live.LIVE.connection(armature)
        eventually(lambda: connection.stream.snapshot()[0] > 10)
        times = []
        for _ in range(1000):
            connection.shown_sequence = -1  # always a new pose to solve and show
            started = time.perf_counter()
            connection.update(scene, armature)
            times.append(time.perf_counter() - started)
        times = numpy.array(times) * 1000.0
        print("FIGURE retargeted update on %s (%d bones, %d mapped): median %.3f ms, p99 %.3f "
              "ms" % (armature.name, len(armature.data.bones),
                      sum(1 for p in armature.telmoralink.bone_map if p.target),
                      numpy.median(times), numpy.percentile(times, 99)), flush=True)
        live.LIVE.disconnect(armature)
    live.LIVE.stop()
    subprocess.run([monitor, sender.name, "walk", "--port", str(sender.port), "--duration", "3",
                    "--capture", capture_path], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True, timeout=30)
finally:
    sender.stop()

# Ten minutes of it: the stream's records repeated with their times moved on (classic pcap).
with open(capture_path, "rb") as source:
    header = source.read(24)
    records = []
    while True:
        head = source.read(16)
        if len(head) < 16:
            break
        seconds, micros, length, original = struct.unpack("<IIII", head)
        records.append((seconds * 1000000 + micros, source.read(length), original))
first, last = records[0][0], records[-1][0]
span = last - first + 8333
long_path = os.path.join(folder, "ten-minutes.pcap")
with open(long_path, "wb") as out:
    out.write(header)
    for lap in range(int(600e6 // span) + 1):
        for micros, data, original in records:
            at = micros + lap * span
            if at - first > 600e6:
                break
            out.write(struct.pack("<IIII", at // 1000000, at % 1000000, len(data), original))
            out.write(data)

scene.render.fps = 30
for armature in (big, metarig):
    started = time.perf_counter()
    capture = core.Capture(long_path)
    opened = time.perf_counter() - started
    action = live.bake_capture(armature, capture, scene)
    took = time.perf_counter() - started
    print("FIGURE import of a %.0f s capture (%d frames at 120 Hz) onto %s at 30 fps: %.2f s "
          "(%.0fx real time; reading %.2f s), %d curves" % (
              capture.times[-1], len(capture.times), armature.name, took,
              capture.times[-1] / took, opened, len(live.take_curves(action))), flush=True)
    capture.close()
