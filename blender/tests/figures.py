"""Figures of the add-on in Blender, headless, printed (not a test):
- the main-thread time of one update of 65 bones;
- the time from the sender's sendto to the frame's pose in Blender, and from its arrival,
  median and p99, with the timer at 120 Hz as Blender runs it, the sender at 60 and at 120 Hz
  (both processes read the same monotonic clock; the k-th pose of the stream is the k-th frame
  the sender sent it);
- the cost of a 60 s recording's keys at 30 fps: taking the samples and writing the action.

    blender -b --factory-startup --python blender/tests/figures.py -- \\
        build/blender build/tools/sim_server/telmora-sim-server
"""

import os
import sys
import tempfile
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
    send_times = os.path.join(tempfile.gettempdir(), "telmora-send-times-%d" % os.getpid())
    sender = Sender(free_udp_port(), name="Figures %d" % rate, rate=rate,
                    options=("--send-times", send_times))
    try:
        scene.telmoralink.port = sender.port
        bpy.ops.telmoralink.connect()
        eventually(lambda: live.LIVE.discoveries.servers(sender.port))
        scene.telmoralink.source = sender.name
        scene.telmoralink.subject = "walk"
        bpy.ops.telmoralink.create_armature()
        armature = bpy.context.collection.objects[-1]
        connection = live.LIVE.connection(armature)
        eventually(lambda: connection.stream.snapshot()[0] > 10)
        ages, updates, posed = [], [], []
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
                posed.append((connection.shown_sequence, time.monotonic()))
        health = connection.stream.health()
        sender.stop()
        with open(send_times) as lines:
            sent = [int(line.split()[1]) / 1e6 for line in lines]
        os.remove(send_times)
        if health["refused"] or health["gaps"] or len(sent) < posed[-1][0]:
            print("FIGURE %3d Hz: frames were lost; no sendto figure" % rate, flush=True)
        else:
            latencies = numpy.array([at - sent[sequence - 1] for sequence, at in posed]) * 1e3
            print("FIGURE %3d Hz: sendto to pose median %.2f ms, p99 %.2f ms" % (
                rate, numpy.median(latencies), numpy.percentile(latencies, 99)), flush=True)
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
