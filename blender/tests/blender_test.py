"""The add-on in a real Blender, headless, against the test sender streaming the recorded walk:

    blender -b --factory-startup --python-exit-code 1 --python blender_test.py -- \\
        ADDON_PARENT_DIR SIM_SERVER

Timers do not run while a background script runs, so the script calls the add-on's timer
callback itself, as Blender would between frames. Each check prints one line; the first failed
one ends Blender with exit status 1. It also prints the main-thread time of one update and the
cost of writing a recording's keys."""

import os
import sys
import time

import bpy
import mathutils
import numpy

addon_parent, sim_server = sys.argv[sys.argv.index("--") + 1:][:2]
sys.path.insert(0, addon_parent)
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
os.environ["TELMORA_SIM_SERVER"] = sim_server

import addon_utils  # noqa: E402
from conftest import Sender, eventually, free_udp_port  # noqa: E402

addon_utils.enable("telmoralink", default_set=True)
import telmoralink  # noqa: E402
from telmoralink import live  # noqa: E402


# Channel axes (y up) to Blender's (z up): (x, y, z) -> (x, -z, y).
TO_BLENDER = mathutils.Matrix(((1, 0, 0), (0, 0, -1), (0, 1, 0)))


def check(condition, what):
    print(("PASS  " if condition else "FAIL  ") + what, flush=True)
    if not condition:
        raise SystemExit(1)


def thread_count():
    return len(os.listdir("/proc/self/task"))


def tick():
    return live.timer()


def wait_for_new_frame(connection):
    shown = connection.stream.snapshot()[0]
    return eventually(lambda: connection.stream.snapshot()[0] != shown)


scene = bpy.context.scene
sender = Sender(free_udp_port(), name="Blender Walk", rate=120)
try:
    settings = scene.telmoralink
    listed = [item[0] for item in telmoralink._source_items(settings, bpy.context)]
    check(listed == ["(none)"] and not live.LIVE.running,
          "nothing listens before Connect, and listing the sources opens no socket")
    check(not bpy.ops.telmoralink.create_armature.poll() and
          not bpy.ops.telmoralink.record.poll(),
          "Create armature and Record cannot run with nothing chosen or streamed")
    telmoralink.preferences().port = sender.port
    bpy.ops.telmoralink.connect()
    check(eventually(lambda: any(s["name"] == sender.name
                                 for s in live.LIVE.discoveries.servers(sender.port))),
          "the sender is listed as a source")
    settings.source = sender.name
    settings.subject = "walk"
    check((settings.source_name, settings.subject_name) == (sender.name, "walk"),
          "source and subject chosen by name")
    cube = bpy.data.objects.get("Cube")
    check(cube is not None and bpy.context.view_layer.objects.active == cube,
          "the start-up file's Cube is active")
    check(bpy.ops.telmoralink.create_armature() == {"FINISHED"}, "Create armature")

    armature = bpy.data.objects["walk"]
    check(bpy.context.view_layer.objects.active == armature and armature.select_get() and
          not cube.select_get(), "the new armature is selected and active, the Cube not")
    bones = live.skeleton()
    check(len(armature.data.bones) == 65, "the armature has the skeleton's 65 bones")
    check(all((armature.data.bones[name].parent.name if parent >= 0 else None) ==
              (bones[parent][0] if parent >= 0 else None)
              for name, parent, _ in bones) and
          all(armature.data.bones[name].parent is None for name, p, _ in bones if p < 0),
          "and its hierarchy")
    connection = live.LIVE.connection(armature)
    check(eventually(lambda: connection.stream.snapshot()[0] > 10), "frames arrive")

    # Every bone's head where its channel puts it, frame after frame.
    worst = 0.0
    worst_turn = 0.0
    update_times = []
    for _ in range(20):
        wait_for_new_frame(connection)
        started = time.perf_counter()
        tick()
        update_times.append(time.perf_counter() - started)
        bpy.context.view_layer.update()
        sequence, translations, rotations = connection.stream.snapshot()
        if sequence != connection.shown_sequence:
            continue  # a newer frame came in between: the next round compares
        for index, (name, _, _) in enumerate(bones):
            pose_bone = armature.pose.bones[name]
            head = armature.matrix_world @ pose_bone.head
            expected = numpy.array(live.to_blender(translations[index]))
            worst = max(worst, float(numpy.max(numpy.abs(numpy.array(head) - expected))))
            # The bone's frame: its rest frame turned by the channel's rotation, in Blender's
            # axes.
            turn = mathutils.Quaternion(rotations[index]).to_matrix()
            wanted = TO_BLENDER @ turn @ TO_BLENDER.transposed() @ pose_bone.bone.matrix_local.to_3x3()
            turned = pose_bone.matrix.to_3x3()
            worst_turn = max(worst_turn, max(abs(turned[r][c] - wanted[r][c])
                                             for r in range(3) for c in range(3)))
    check(worst * 100.0 < 0.01,
          "every bone's head on its channel's translation (worst %.5f cm)" % (worst * 100.0))
    check(worst_turn < 1e-4,  # Blender keeps its matrices in single precision
          "every bone's frame turned by its channel's rotation (worst %.1e)" % worst_turn)
    print("FIGURE update of 65 bones on the main thread: median %.3f ms, max %.3f ms" % (
        1000.0 * sorted(update_times)[len(update_times) // 2], 1000.0 * max(update_times)),
        flush=True)
    check(telmoralink.health_line(connection).endswith("gaps"), "the health line: " +
          telmoralink.health_line(connection))

    # Renamed, the armature keeps its stream.
    armature.name = "walk renamed"
    shown = connection.shown_sequence
    wait_for_new_frame(connection)
    tick()
    check(live.LIVE.connection(armature) is connection and connection.shown_sequence != shown,
          "a renamed armature follows its stream")

    # Recording: a key per scene frame while the timeline plays, at the scene's rate.
    scene.render.fps = 30
    seconds = 2
    start = scene.frame_current
    root = armature.pose.bones[bones[0][0]]
    half = start + seconds * scene.render.fps // 2
    connection.start_recording(scene)
    for frame in range(start, start + seconds * scene.render.fps):
        if frame == half:
            armature.telmoralink.live = False  # the armature stands; the keys go on
            standing = tuple(root.location)
        scene.frame_set(frame)
        wait_for_new_frame(connection)
        tick()
    check(tuple(root.location) == standing, "with Live off the armature stands still")
    armature.telmoralink.live = True
    # The sender paused: the stream goes stale, the panel says so, nothing is keyed.
    sender.pause()
    check(eventually(lambda: connection.stream.health()["stale"]), "a paused sender goes stale")
    check(telmoralink.health_line(connection).startswith("No frames for"),
          "the health line says so: " + telmoralink.health_line(connection))
    paused_from = scene.frame_current + 1
    for frame in range(paused_from, paused_from + 15):
        scene.frame_set(frame)
        tick()
    sender.resume()
    written = time.perf_counter()
    action = connection.stop_recording(scene)
    written = time.perf_counter() - written
    check(action is not None, "stopping leaves an action")
    curves = live.take_curves(action)
    frames = sorted({int(k.co[0]) for c in curves for k in c.keyframe_points})
    check(frames == list(range(start, start + seconds * scene.render.fps)),
          "one key per frame over %d s at %d fps, none while stale (%d keys, frames %d-%d)" % (
              seconds, scene.render.fps, len(frames), frames[0], frames[-1]))
    root_curves = [c for c in curves if c.data_path == 'pose.bones["%s"].location' % root.name]
    check(len({tuple(c.evaluate(f) for c in root_curves) for f in range(half, frames[-1])}) > 1,
          "while its keys follow the stream")
    rotations = [c for c in curves if c.data_path.endswith("rotation_quaternion")]
    check(len(rotations) == 65 * 4 and len({c.group.name for c in curves}) == 65 and
          all(c.group.name in c.data_path for c in curves),
          "quaternion curves, grouped per bone (%s)" % (
              "layered action" if live.layered_actions() else "Action.fcurves"))
    print("FIGURE writing %d keys of 65 bones: %.3f s" % (len(frames), written), flush=True)

    # A deleted armature's stream ends with it; a second armature streams on its own.
    check(bpy.ops.telmoralink.create_armature() == {"FINISHED"}, "a second armature")
    second = bpy.context.view_layer.objects.active
    check(second != armature and live.LIVE.connection(second) is not None,
          "with a stream of its own")
    threads_two = thread_count()
    key = armature.telmoralink.connection
    bpy.data.objects.remove(armature)
    tick()
    check(key not in live.LIVE.connections and live.LIVE.connection(second) is not None,
          "deleting an armature closes its stream, the other streams on")
    check(eventually(lambda: thread_count() <= threads_two - 2),
          "its threads are gone (%d, %d before)" % (thread_count(), threads_two))

    # Closing the file stops every stream thread; the add-on comes back after a reload. Blender
    # starts threads of its own as it goes, so ours are counted as those that end: the
    # stream's two and discovery's three.
    threads_streaming = thread_count()
    bpy.ops.wm.read_homefile(use_empty=True)
    check(not live.LIVE.running, "closing the file stops the streams and discovery")
    check(tick() is None, "and the timer with them")
    check(eventually(lambda: thread_count() <= threads_streaming - 5),
          "their threads are gone (%d, %d while streaming)" % (thread_count(), threads_streaming))
    addon_utils.disable("telmoralink", default_set=True)
    check(not hasattr(bpy.context.scene, "telmoralink"), "the add-on disables")
    addon_utils.enable("telmoralink", default_set=True)
    check(hasattr(bpy.context.scene, "telmoralink"), "the add-on enables again")
    addon_utils.disable("telmoralink", default_set=True)
finally:
    sender.stop()
print("blender_test: all checks passed", flush=True)
