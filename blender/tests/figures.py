"""Figures of the add-on in Blender, headless, printed (not a test):
- the main-thread time of one update of 65 bones;
- the time from a frame's arrival to its pose in Blender, median and p99, with the timer at
  120 Hz as Blender runs it, the sender at 60 and at 120 Hz;
- the cost of a 60 s recording's keys at 30 fps: taking the samples and writing the action.

    blender -b --factory-startup --python blender/tests/figures.py -- \\
        build/blender build/tools/sim_server/telmora-sim-server
"""

import os
import sys
import time

import bpy
import numpy

addon_parent, sim_server = sys.argv[sys.argv.index("--") + 1:][:2]
sys.path.insert(0, addon_parent)
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
os.environ["TELMORA_SIM_SERVER"] = sim_server

import telmoralink  # noqa: E402
from conftest import Sender, eventually, free_udp_port  # noqa: E402
from telmoralink import live  # noqa: E402

telmoralink.register()
scene = bpy.context.scene
for rate in (60, 120):
    sender = Sender(free_udp_port(), name="Figures %d" % rate, rate=rate)
    try:
        scene.telmoralink.port = sender.port
        bpy.ops.telmoralink.connect()
        eventually(lambda: live.LIVE.discoveries.servers(sender.port))
        scene.telmoralink.source = sender.name
        scene.telmoralink.subject = "walk"
        bpy.ops.telmoralink.create_armature()
        armature = bpy.context.collection.objects[-1]
        connection = live.LIVE.connection(armature.name)
        eventually(lambda: connection.stream.snapshot()[0] > 10)
        ages, updates = [], []
        next_tick = time.monotonic()
        end = next_tick + 5.0
        while time.monotonic() < end:
            next_tick += live.TICK_SECONDS
            time.sleep(max(0.0, next_tick - time.monotonic()))
            shown = connection.shown_sequence
            age = connection.stream.health()["last_frame_age"]
            started = time.perf_counter()
            live.timer()
            took = time.perf_counter() - started
            if connection.shown_sequence != shown:
                ages.append(age + took)
                updates.append(took)
        ages = numpy.array(ages) * 1000.0
        updates = numpy.array(updates) * 1000.0
        print("FIGURE %3d Hz: %d poses; arrival to pose median %.2f ms, p99 %.2f ms; update "
              "median %.3f ms, p99 %.3f ms" % (rate, len(ages), numpy.median(ages),
                                              numpy.percentile(ages, 99), numpy.median(updates),
                                              numpy.percentile(updates, 99)), flush=True)
        if rate == 120:
            recording = live.Recording(1)
            pose = connection.pose
            started = time.perf_counter()
            for frame in range(1, 60 * 30 + 1):
                recording.add(frame, *pose)
            sampled = time.perf_counter() - started
            started = time.perf_counter()
            live.write_action(armature, recording, scene)
            written = time.perf_counter() - started
            print("FIGURE a 60 s recording at 30 fps (1800 keys of 65 bones): sampling %.3f s "
                  "in all (%.3f ms a frame), writing the action %.3f s" % (
                      sampled, 1000.0 * sampled / 1800, written), flush=True)
    finally:
        sender.stop()
telmoralink.unregister()
