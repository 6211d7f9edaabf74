"""The performer on rigs of other conventions, in a real Blender, headless, against the test
sender streaming the recorded walk:

    blender -b --factory-startup --python-exit-code 1 --python retarget_test.py -- \\
        ADDON_PARENT_DIR SIM_SERVER MONITOR

Rigify's metarig and a rig of Unreal-mannequin names in an A-pose, with rolled bones, legs 15 %
shorter, fingers on one hand only and the object turned and scaled as an FBX import. Two
seconds of the walk are taken from the stream once, then posed on each rig frame by frame.
Each check prints one line; the first failed one ends Blender with exit status 1; FIGURE lines
report foot skate."""

import math
import os
import subprocess
import sys
import tempfile

import bpy
import mathutils
import numpy

addon_parent, sim_server, monitor = sys.argv[sys.argv.index("--") + 1:][:3]
sys.path.insert(0, addon_parent)
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
os.environ["TELMORA_SIM_SERVER"] = sim_server

import addon_utils  # noqa: E402
import rigs  # noqa: E402
from conftest import DEADLINE, Sender, eventually, free_udp_port  # noqa: E402

addon_utils.enable("telmoralink", default_set=True)
import telmoralink  # noqa: E402
from telmoralink import core, live, rig  # noqa: E402

TO_WORLD = mathutils.Matrix(((1, 0, 0), (0, 0, -1), (0, 1, 0))).to_quaternion()


def check(condition, what):
    print(("PASS  " if condition else "FAIL  ") + what, flush=True)
    if not condition:
        raise SystemExit(1)


def world_rotation(armature, bone):
    return (armature.matrix_world @ bone.matrix).to_3x3().normalized().to_quaternion()


def world_head(armature, bone):
    return armature.matrix_world @ bone.matrix.translation


def angle_degrees(a, b):
    """The angle between two rotations, well conditioned near zero."""
    relative = a @ b.inverted()
    return math.degrees(2.0 * math.atan2(
        math.sqrt(relative.x ** 2 + relative.y ** 2 + relative.z ** 2), abs(relative.w)))


def performer_rotation(rotations, index):
    return TO_WORLD @ mathutils.Quaternion(rotations[index]) @ TO_WORLD.inverted()


def take_walk(seconds):
    """Consecutive poses of the walk from the stream: (translations, rotations) per frame."""
    sender = Sender(free_udp_port(), name="Retarget Walk", rate=120)
    try:
        discovery = core.Discovery(sender.port)
        eventually(lambda: discovery.servers())
        server = discovery.servers()[0]
        stream = core.Stream()
        stream.connect(server["ip"], server["stream_port"], "walk")
        poses, last = [], 0
        end_frames = int(seconds * 120)
        eventually(lambda: stream.snapshot()[0] > 0)
        while len(poses) < end_frames:
            sequence, translations, rotations = stream.snapshot()
            if sequence != last:
                poses.append((translations, rotations))
                last = sequence
        stream.disconnect()
        discovery.stop()
        return poses
    finally:
        sender.stop()


skeleton = core.default_skeleton()
names = [name for name, _, _ in skeleton]
index_of = {name: i for i, name in enumerate(names)}
walk = take_walk(2.0)
check(len(walk) == 240, "two seconds of the walk taken from the stream (%d frames)" % len(walk))


def follow_walk(armature, follower, planting, root_motion="FULL"):
    """Poses the rig frame by frame; yields (frame index, translations, rotations)."""
    armature.telmoralink.root_motion = root_motion
    for k, (translations, rotations) in enumerate(walk):
        pose = follower.solve(translations, rotations, root_motion, planting)
        follower.apply(armature, *pose, root_motion)
        bpy.context.view_layer.update()
        yield k, translations, rotations


def check_rig(armature, label, expected_mapping):
    bpy.context.view_layer.objects.active = armature
    check(bpy.ops.telmoralink.auto_map() == {"FINISHED"}, "%s: Auto-map" % label)
    mapped = rig.bone_map(armature)
    wrong = {k: (mapped.get(k), v) for k, v in expected_mapping.items() if mapped.get(k) != v}
    check(not wrong, "%s: mapped as expected (%s, %d bones)%s" % (
        label, armature.telmoralink.preset, len(mapped), "" if not wrong else " " + str(wrong)))
    check(bpy.ops.telmoralink.calibrate() == {"FINISHED"}, "%s: Calibrate" % label)
    follower = rig.follower(armature)
    bones = armature.pose.bones
    calibrated = {n: world_rotation(armature, bones[t]) for n, t in mapped.items()}
    object_origin_z = armature.matrix_world.translation.z

    # Every mapped bone turns by the performer's world-space turn since its T-pose.
    worst, worst_bone = 0.0, None
    for _, translations, rotations in follow_walk(armature, follower, planting=False):
        for ours, theirs in mapped.items():
            turn = world_rotation(armature, bones[theirs]) @ calibrated[ours].inverted()
            error = angle_degrees(turn, performer_rotation(rotations, index_of[ours]))
            if error > worst:
                worst, worst_bone = error, theirs
    check(worst < 0.1, "%s: every mapped bone's turn since calibration is the performer's "
          "within 0.1 degrees over %d frames (worst %.4f, %s)" % (label, len(walk), worst,
                                                                   worst_bone))

    # The hips height over the performer's, every frame.
    ratio = follower.retarget.scale
    hips = bones[mapped["Hips"]]
    worst = max(abs((world_head(armature, hips).z - object_origin_z) -
                    ratio * t[0][1] / 100.0) for _, t, _ in follow_walk(armature, follower, False))
    check(worst < 1e-4, "%s: the hips' height is the performer's times %.3f (worst %.2e m)" % (
        label, ratio, worst))

    # Feet planted: each ankle on the performer's ankle, scaled about the floor under the hips.
    rest_hips = rigs.to_world(skeleton[0][2])
    performer_ground = mathutils.Vector((rest_hips.x, rest_hips.y, 0.0))
    ground = _rig_ground(armature)
    skate = {}
    for planting in (True, False):
        worst, moved, stance_frames = 0.0, 0.0, 0
        previous = None
        for k, translations, rotations in follow_walk(armature, follower, planting):
            here = {}
            for side in ("Left", "Right"):
                performer = rigs.to_world(translations[index_of[side + "Foot"]])
                target = ground + (performer - performer_ground) * ratio
                ankle = world_head(armature, bones[mapped[side + "Foot"]])
                worst = max(worst, (ankle - target).length)
                here[side] = (performer, ankle)
            if previous is not None:
                for side in ("Left", "Right"):
                    performer_step = (here[side][0] - previous[side][0]).xy.length
                    if performer_step < 0.0005:  # the performer's foot still (< 6 cm/s)
                        moved += (here[side][1] - previous[side][1]).xy.length
                        stance_frames += 1
            previous = here
        skate[planting] = (moved * 100.0, stance_frames)
        if planting:
            check(worst * 100.0 < 0.5, "%s: with feet planted each ankle is within 0.5 cm of "
                  "the performer's scaled ankle (worst %.3f cm)" % (label, worst * 100.0))
    print("FIGURE %s: foot skate while the performer's foot stands (%d foot-frames): %.2f cm "
          "with planting, %.2f cm without" % (label, skate[True][1], skate[True][0],
                                              skate[False][0]), flush=True)
    return follower


def _rig_ground(armature):
    """On the rig's floor (its object's origin) under its calibrated hips."""
    stored = numpy.array(armature["telmoralink_calibration"]).reshape(-1, 4, 4)
    obj = mathutils.Matrix(numpy.array(armature["telmoralink_calibration_object"]).reshape(4, 4))
    hips = armature.data.bones.find(rig.bone_map(armature)["Hips"])
    head = obj @ mathutils.Matrix(stored[hips]).translation
    return mathutils.Vector((head.x, head.y, obj.translation.z))


bpy.ops.wm.read_homefile(use_empty=True)

# Rigify's metarig, at its rest pose.
metarig = rigs.rigify_metarig()
check(not bpy.ops.telmoralink.import_capture.poll() and not bpy.ops.telmoralink.follow.poll(),
      "a rig not yet mapped and calibrated takes neither a stream nor a capture")
check_rig(metarig, "Rigify metarig", {
    "Hips": "spine", "Spine": "spine.001", "Head": "spine.006", "LeftArm": "upper_arm.L",
    "RightForeArm": "forearm.R", "LeftHand": "hand.L", "LeftUpLeg": "thigh.L",
    "RightLeg": "shin.R", "LeftFoot": "foot.L", "LeftHandIndex1": "f_index.01.L",
    "RightHandThumb3": "thumb.03.R", "LeftHandPinky2": "f_pinky.02.L"})

# The mannequin-named rig: A-pose posed into a T-pose before calibrating.
mannequin = rigs.unreal_rig(skeleton)
bpy.context.view_layer.objects.active = mannequin
bpy.ops.telmoralink.auto_map()
rigs.pose_a_to_t(mannequin)
upper_arm = mannequin.pose.bones["upperarm_l"]
direction = (world_head(mannequin, mannequin.pose.bones["lowerarm_l"]) -
             world_head(mannequin, upper_arm)).normalized()
check(abs(direction.z) < 1e-3, "the A-pose rig's arms posed level (%.4f)" % direction.z)
expected = {ours: theirs for ours, theirs in rigs.UNREAL_NAMES.items()}
follower = check_rig(mannequin, "Mannequin (A-pose, rolled, short legs, FBX axes)", expected)
check(not any(n.startswith("RightHand") and n != "RightHand" for n in rig.bone_map(mannequin)),
      "the hand without fingers has none mapped")
check(abs(follower.retarget.scale - rigs.LEG_SCALE) < 1e-3,
      "the hips scale is the rig's hips height over the performer's (%.4f)" %
      follower.retarget.scale)

# The mapping survives export and import as JSON.
path = os.path.join(tempfile.mkdtemp(), "mannequin.json")
before = rig.bone_map(mannequin)
check(bpy.ops.telmoralink.export_map(filepath=path) == {"FINISHED"}, "the mapping exports")
mannequin.telmoralink.bone_map.clear()
check(bpy.ops.telmoralink.import_map(filepath=path) == {"FINISHED"} and
      rig.bone_map(mannequin) == before, "and imports the same (%d bones)" % len(before))

# Euler bones: keys in each bone's own mode, never jumping by more than 180 degrees.
for bone in mannequin.pose.bones:
    bone.rotation_mode = "XYZ"
recording = live.Recording(1)
for k, _, _ in follow_walk(mannequin, follower, planting=True):
    recording.add(k + 1, *follower.solve(*walk[k], "FULL", True))
action = live.write_action(mannequin, recording)
curves = live.take_curves(action)
euler = [c for c in curves if c.data_path.endswith("rotation_euler")]
jumps = max(max(abs(a.co[1] - b.co[1]) for a, b in zip(c.keyframe_points[1:],
                                                       c.keyframe_points))
            for c in euler)
check(euler and not any(c.data_path.endswith("rotation_quaternion") for c in curves) and
      all(b.rotation_mode == "XYZ" for b in mannequin.pose.bones),
      "an Euler rig is keyed in Euler angles, its modes as the user set them (%d curves)" %
      len(euler))
check(math.degrees(jumps) < 180.0, "no Euler key jumps by 180 degrees or more (largest step "
      "%.1f degrees)" % math.degrees(jumps))
for bone in mannequin.pose.bones:
    bone.rotation_mode = "QUATERNION"

# A rig missing an arm is refused, the message naming what is missing.
one_armed = rigs.unreal_rig(skeleton, name="one-armed", leave_out=(
    "LeftArm", "LeftForeArm", "LeftHand") + tuple(n for n in names if n.startswith("LeftHand")))
bpy.context.view_layer.objects.active = one_armed
bpy.ops.telmoralink.auto_map()
try:
    rig.calibrate(one_armed, bpy.context)
    message = ""
except core.CoreInputError as error:
    message = str(error)
check("the left upper arm, the left forearm, the left hand" in message and
      not one_armed.telmoralink.calibrated, "a rig missing an arm is refused: " + message)

# Live and from a capture: the same stream, captured by the monitor, replayed by the sender;
# every key recorded live is the solve of one captured frame, and importing the capture twice
# gives the same keys.
if core.captures_supported():
    capture_path = os.path.join(tempfile.mkdtemp(), "walk.pcap")
    sender = Sender(free_udp_port(), name="Capture Walk", rate=120)
    try:
        subprocess.run([monitor, "Capture Walk", "walk", "--port", str(sender.port),
                        "--duration", "3", "--capture", capture_path],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=DEADLINE * 3,
                       check=True)
    finally:
        sender.stop()
    capture = core.Capture(capture_path)
    check(len(capture.times) > 300, "the monitor captured the walk (%d frames, %.1f s)" % (
        len(capture.times), capture.times[-1]))
    solved = [follower.solve(*capture.pose(k), "FULL", True) for k in range(len(capture.times))]
    solved = [(loc.copy(), quat.copy()) for loc, quat, _ in solved]
    port = free_udp_port()
    replay = subprocess.Popen([sim_server, "--replay", capture_path, "--loop",
                               "--announce-port", str(port)], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    try:
        telmoralink.preferences().port = port
        bpy.ops.telmoralink.connect()
        check(eventually(lambda: live.LIVE.discoveries.servers()), "the capture is replayed")
        scene = bpy.context.scene
        scene.telmoralink.source = live.LIVE.discoveries.servers()[0]["name"]
        scene.telmoralink.subject = "walk"
        bpy.context.view_layer.objects.active = mannequin
        check(bpy.ops.telmoralink.follow() == {"FINISHED"}, "Follow stream on the rig")
        connection = live.LIVE.connection(mannequin)
        check(eventually(lambda: connection.stream.snapshot()[0] > 5), "frames arrive")
        connection.start_recording(scene)
        for frame in range(1, 61):
            scene.frame_set(frame)
            shown = connection.shown_sequence
            eventually(lambda: connection.stream.snapshot()[0] != shown)
            live.timer()
        recording = connection.recording
        live_keys = list(zip(recording.locations, recording.rotations))
        connection.stop_recording(scene)
    finally:
        replay.kill()
        replay.wait()
    mapped_rows = follower.mapped

    def same(a, b):
        return (numpy.abs(a[0][mapped_rows] - b[0][mapped_rows]).max() < 1e-9 and
                numpy.abs(numpy.abs(numpy.sum(a[1][mapped_rows] * b[1][mapped_rows], axis=1))
                          - 1.0).max() < 1e-12)
    check(all(any(same(key, s) for s in solved) for key in live_keys),
          "each of %d keys recorded live is the solve of a captured frame" % len(live_keys))
    scene.render.fps = 30
    first = live.bake_capture(mannequin, core.Capture(capture_path), scene)
    second = live.bake_capture(mannequin, core.Capture(capture_path), scene)

    def keys(action):
        return [(c.data_path, c.array_index, tuple(p.co for p in c.keyframe_points))
                for c in live.take_curves(action)]
    check(keys(first) == keys(second) and len(live.take_curves(first)) > 0,
          "importing the capture twice gives the same keys (%d keys on %d curves)" % (
              sum(len(c.keyframe_points) for c in live.take_curves(first)),
              len(live.take_curves(first))))
    frames = sorted({int(p.co[0]) for c in live.take_curves(first) for p in c.keyframe_points})
    check(frames == list(range(scene.frame_start, scene.frame_start + len(frames))) and
          abs(len(frames) - (math.floor(capture.times[-1] * 30) + 1)) == 0,
          "one key per scene frame at 30 fps over the capture (%d)" % len(frames))
else:
    print("SKIP  this build reads no captures", flush=True)

live.LIVE.stop()
print("retarget_test: all checks passed", flush=True)
