"""The README's pictures: the walk live on an armature made by the add-on and, with --rigify,
on Rigify's metarig beside it (auto-mapped, calibrated at its rest pose), rendered by Blender
headless with Cycles on the CPU (Debian's Blender has no denoiser: denoising is off).

    blender -b --factory-startup --python blender/render_walk.py -- \\
        build/blender build/tools/sim_server/telmora-sim-server docs/blender_walk.png [--rigify]
"""

import math
import os
import sys
import time

import bpy
import mathutils

arguments = sys.argv[sys.argv.index("--") + 1:]
addon_parent, sim_server, output = arguments[:3]
with_rigify = "--rigify" in arguments
sys.path.insert(0, addon_parent)
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "tests"))
os.environ["TELMORA_SIM_SERVER"] = sim_server

import addon_utils  # noqa: E402
from conftest import Sender, eventually, free_udp_port  # noqa: E402

bpy.ops.wm.read_homefile(use_empty=True)
addon_utils.enable("telmoralink", default_set=True)
import telmoralink  # noqa: E402
from telmoralink import live, rig  # noqa: E402

scene = bpy.context.scene
sender = Sender(free_udp_port(), name="Telmora Stage", rate=60)
try:
    telmoralink.preferences().port = sender.port
    bpy.ops.telmoralink.connect()
    if not eventually(lambda: live.LIVE.discoveries.servers(sender.port)):
        raise SystemExit("no sender heard")
    scene.telmoralink.source = sender.name
    scene.telmoralink.subject = "walk"
    bpy.ops.telmoralink.create_armature()
    armature = bpy.data.objects["walk"]
    connection = live.LIVE.connection(armature)
    # A moment into the walk, mid-stride.
    eventually(lambda: connection.stream.snapshot()[0] > 75)
    sender.pause()
    time.sleep(0.05)
    live.timer()
    rigs = [(armature, (0.85, 0.45, 0.2, 1.0))]
    if with_rigify:
        addon_utils.enable("rigify", default_set=True)
        bpy.ops.object.armature_human_metarig_add()
        metarig = bpy.context.view_layer.objects.active
        metarig.location = (1.0, 0.0, 0.0)
        bpy.context.view_layer.update()
        # The metarig's arms hang a little at rest: level, as a user poses them, to match the
        # performer's T-pose.
        for side in ("L", "R"):
            arm = metarig.pose.bones["upper_arm." + side]
            direction = arm.tail - arm.head
            level = direction.copy()
            level.z = 0.0
            turn = direction.rotation_difference(level).to_matrix().to_4x4()
            head = arm.matrix.translation.copy()
            arm.matrix = (mathutils.Matrix.Translation(head) @ turn @
                          mathutils.Matrix.Translation(-head) @ arm.matrix)
            bpy.context.view_layer.update()
        bpy.ops.telmoralink.auto_map()
        bpy.ops.telmoralink.calibrate()
        follower = rig.follower(metarig)
        _, translations, rotations = connection.stream.snapshot()
        follower.apply(metarig, *follower.solve(translations, rotations, "FULL", True), "FULL")
        bpy.context.view_layer.update()
        rigs.append((metarig, (0.2, 0.45, 0.85, 1.0)))
finally:
    sender.stop()

# Something to see: a capsule along every bone, a ball on every joint, all following the bones.
def dress(armature, colour):
    skin = bpy.data.materials.new("Skin " + armature.name)
    skin.diffuse_color = colour
    skin.use_nodes = True
    skin.node_tree.nodes["Principled BSDF"].inputs["Base Color"].default_value = colour
    for bone in armature.data.bones:
        bpy.ops.mesh.primitive_uv_sphere_add(radius=0.025, segments=16, ring_count=8)
        ball = bpy.context.object
        ball.data.materials.append(skin)
        ball.parent = armature
        ball.parent_type = "BONE"
        ball.parent_bone = bone.name
        # Bone parenting places children at the bone's tail: back to its head.
        ball.location = (0.0, -bone.length, 0.0)
        if bone.parent is not None and (bone.head_local - bone.parent.head_local).length > 0.03:
            parent = bone.parent
            length = (bone.head_local - parent.head_local).length
            bpy.ops.mesh.primitive_cylinder_add(radius=0.015, depth=length, vertices=12)
            rod = bpy.context.object
            rod.data.materials.append(skin)
            rod.parent = armature
            rod.matrix_world = armature.matrix_world  # placed below by constraints
            stretch = rod.constraints.new("COPY_LOCATION")
            stretch.target = armature
            stretch.subtarget = parent.name
            aim = rod.constraints.new("DAMPED_TRACK")
            aim.target = armature
            aim.subtarget = bone.name
            aim.head_tail = 0.0
            aim.track_axis = "TRACK_Z"
            rod.data.transform(mathutils.Matrix.Translation((0, 0, length / 2)))


for dressed, colour in rigs:
    dress(dressed, colour)

bpy.ops.mesh.primitive_plane_add(size=8.0)
floor = bpy.context.object
ground = bpy.data.materials.new("Floor")
ground.use_nodes = True
ground.node_tree.nodes["Principled BSDF"].inputs["Base Color"].default_value = (0.8, 0.8, 0.8, 1)
floor.data.materials.append(ground)

hips = armature.matrix_world @ armature.pose.bones["Hips"].head
distance, height, pitch = 2.6, 1.3, 82
if with_rigify:
    hips.x += 0.5  # between the two, the metarig the taller
    distance, height, pitch = 4.2, 1.0, 88
bpy.ops.object.camera_add(location=(hips.x + distance, hips.y - distance, height))
camera = bpy.context.object
camera.rotation_euler = (math.radians(pitch), 0.0, math.radians(45))
scene.camera = camera
bpy.ops.object.light_add(type="SUN", location=(0, 0, 5))
bpy.context.object.data.energy = 3.0
bpy.context.object.rotation_euler = (math.radians(40), math.radians(10), math.radians(30))
world = bpy.data.worlds.new("World")
world.use_nodes = True
world.node_tree.nodes["Background"].inputs["Color"].default_value = (0.6, 0.7, 0.8, 1)
scene.world = world

scene.render.engine = "CYCLES"
scene.cycles.device = "CPU"
scene.cycles.samples = 32
scene.cycles.use_denoising = False
scene.render.resolution_x = 720 if with_rigify else 480
scene.render.resolution_y = 480
scene.render.filepath = os.path.abspath(output)
bpy.ops.render.render(write_still=True)
addon_utils.disable("telmoralink", default_set=True)
print("render_walk: wrote", output)
