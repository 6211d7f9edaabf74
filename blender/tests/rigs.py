"""Rigs the retargeting tests build: the Rigify metarig (Rigify ships with Blender) and a rig of
the default skeleton's shape under other conventions (Unreal mannequin names, an A-pose,
rolled bones, legs 15 % shorter, fingers on one hand only, the object turned 90 degrees about X
and scaled 0.01, as FBX imports are)."""

import math

import addon_utils
import bpy
import mathutils

# Our bone -> the Unreal mannequin's (UE4) name; the right hand's fingers are left out.
UNREAL_NAMES = {
    "Hips": "pelvis", "Spine": "spine_01", "Spine1": "spine_02", "Spine2": "spine_03",
    "Neck": "neck_01", "Head": "head",
}
for _side, _s in (("Left", "l"), ("Right", "r")):
    UNREAL_NAMES.update({
        _side + "Shoulder": "clavicle_" + _s, _side + "Arm": "upperarm_" + _s,
        _side + "ForeArm": "lowerarm_" + _s, _side + "Hand": "hand_" + _s,
        _side + "UpLeg": "thigh_" + _s, _side + "Leg": "calf_" + _s,
        _side + "Foot": "foot_" + _s, _side + "ToeBase": "ball_" + _s})
for _finger in ("Thumb", "Index", "Middle", "Ring", "Pinky"):
    for _n in (1, 2, 3):
        UNREAL_NAMES["LeftHand%s%d" % (_finger, _n)] = "%s_0%d_l" % (_finger.lower(), _n)

LEG_SCALE = 0.85  # the test rig's legs against the performer's
A_POSE_DEGREES = 45.0


def to_world(rest_cm):
    x, y, z = rest_cm
    return mathutils.Vector((x / 100.0, -z / 100.0, y / 100.0))


def _link(obj):
    bpy.context.collection.objects.link(obj)
    bpy.context.view_layer.objects.active = obj
    for other in bpy.context.view_layer.objects:
        other.select_set(other == obj)


def rigify_metarig():
    """Rigify's human metarig, made by its own operator."""
    addon_utils.enable("rigify", default_set=True)
    bpy.ops.object.armature_human_metarig_add()
    return bpy.context.view_layer.objects.active


def unreal_rig(skeleton, name="mannequin", names=UNREAL_NAMES, leave_out=(), extra=0):
    """The default skeleton's bones under `names` (the rest left out, and `leave_out` too), in
    an A-pose, rolled, with shorter legs, its object turned and scaled as an FBX import; with
    `extra` more bones that follow nothing (twist and corrective bones, as production rigs
    have), spread over the others."""
    index = {bone: i for i, (bone, _, _) in enumerate(skeleton)}
    hips_height = to_world(skeleton[0][2]).z
    drop = (1.0 - LEG_SCALE) * hips_height

    def shaped(i):
        bone_name, _, rest = skeleton[i]
        w = to_world(rest)
        # Legs shorter: below the hips heights scale; at and above them everything drops.
        w.z = w.z * LEG_SCALE if "Leg" in bone_name or "Foot" in bone_name or \
            "Toe" in bone_name else w.z - drop
        for side, sign in (("Left", 1.0), ("Right", -1.0)):
            if bone_name.startswith(side) and ("Arm" in bone_name or "Hand" in bone_name) and \
                    bone_name != side + "Arm":
                shoulder = shaped(index[side + "Arm"])
                turn = mathutils.Matrix.Rotation(math.radians(sign * A_POSE_DEGREES), 3, "Y")
                w = shoulder + turn @ (w - shoulder)
        return w

    kept = [i for i, (bone_name, _, _) in enumerate(skeleton)
            if bone_name in names and bone_name not in leave_out]
    data = bpy.data.armatures.new(name)
    rig = bpy.data.objects.new(name, data)
    _link(rig)
    rig.rotation_euler = (math.radians(90.0), 0.0, 0.0)
    rig.scale = (0.01, 0.01, 0.01)
    bpy.context.view_layer.update()
    to_armature = rig.matrix_world.inverted()
    bpy.ops.object.mode_set(mode="EDIT")
    heads = {i: shaped(i) for i in kept}
    edit = {}
    for i in kept:
        bone_name, parent, _ = skeleton[i]
        while parent >= 0 and parent not in heads:
            parent = skeleton[parent][1]
        children = [c for c in kept if skeleton[c][1] == i]
        direction = (heads[children[0]] - heads[i]) if children else None
        if direction is None or direction.length < 1e-3:
            direction = (heads[i] - heads[parent]) if parent >= 0 else mathutils.Vector((0, 0, 1))
        tail = heads[i] + direction.normalized() * max(0.03, min(direction.length, 0.3))
        bone = data.edit_bones.new(names[bone_name])
        bone.head = to_armature @ heads[i]
        bone.tail = to_armature @ tail
        bone.roll = 0.6  # rolled, as rigs from other packages are
        if parent >= 0:
            bone.parent = edit[parent]
        edit[i] = bone
    owners = list(edit.values())
    for k in range(extra):
        owner = owners[k % len(owners)]
        bone = data.edit_bones.new("%s_twist_%02d" % (owner.name, k // len(owners)))
        bone.head = owner.head.lerp(owner.tail, 0.5)
        bone.tail = owner.tail
        bone.roll = owner.roll
        bone.parent = owner
    bpy.ops.object.mode_set(mode="OBJECT")
    return rig


def pose_a_to_t(rig):
    """Raises the A-pose rig's arms to a T-pose (what a user does before Calibrate)."""
    world_rotation = rig.matrix_world.to_quaternion()
    for side, sign in (("l", -1.0), ("r", 1.0)):
        bone = rig.pose.bones["upperarm_" + side]
        bpy.context.view_layer.update()
        turn_world = mathutils.Quaternion((0, 1, 0), math.radians(sign * A_POSE_DEGREES))
        turn = (world_rotation.inverted() @ turn_world @ world_rotation).to_matrix().to_4x4()
        head = bone.matrix.translation.copy()
        bone.matrix = (mathutils.Matrix.Translation(head) @ turn @
                       mathutils.Matrix.Translation(-head) @ bone.matrix)
    bpy.context.view_layer.update()
