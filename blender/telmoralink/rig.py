"""A user's own rig following the performer: its bone mapping (kept on the rig), its
calibration (kept on the rig too), and the pose the core's retargeting solves for it, written
into the rig's pose bones in each bone's own rotation mode. Blender's data is touched only on
its main thread (the operators and the timer)."""

import json

import mathutils
import numpy

from . import core, mapping

# The calibration kept on the rig: its pose matrices and object matrix when "Calibrate" was
# clicked, as ID properties (they survive saving and reopening the file).
_CALIBRATION = "telmoralink_calibration"
_CALIBRATION_OBJECT = "telmoralink_calibration_object"

ROOT_MOTION_ITEMS = [
    ("FULL", "Full", "The hips travel as the performer does", core.ROOT_FULL),
    ("IN_PLACE", "In place", "No travel over the floor; the hips only rise and fall",
     core.ROOT_IN_PLACE),
    ("OBJECT", "Object", "The armature object carries the travel", core.ROOT_OBJECT),
]
_ROOT_MOTION = {item[0]: item[3] for item in ROOT_MOTION_ITEMS}


def skeleton_names():
    return [name for name, _, _ in core.default_skeleton()]


def is_default_skeleton(armature):
    """Whether the armature has every bone of the default skeleton by name (Create armature
    makes such armatures)."""
    bones = armature.data.bones
    return all(name in bones for name in skeleton_names())


def bone_map(armature):
    """Our bone -> the rig's bone, as the rig keeps it (entries without a bone left out)."""
    return {pair.source: pair.target for pair in armature.telmoralink.bone_map if pair.target}


def set_bone_map(armature, pairs):
    """Keeps `pairs` (our bone -> rig bone) on the rig: one entry per bone of the default
    skeleton, in its order, so the panel's list reads top down."""
    entries = armature.telmoralink.bone_map
    entries.clear()
    for name in skeleton_names():
        entry = entries.add()
        entry.source = name
        entry.target = pairs.get(name, "")


def auto_map(armature):
    """Maps the rig by the best preset's names, then by its hierarchy; (preset, mapped count,
    names filled by the hierarchy)."""
    bones = armature.data.bones
    world = armature.matrix_world
    names = [b.name for b in bones]
    parents = [b.parent.name if b.parent else None for b in bones]
    heads = [tuple(world @ b.head_local) for b in bones]
    preset, pairs, filled = mapping.auto_map(names, parents, heads)
    set_bone_map(armature, pairs)
    armature.telmoralink.preset = preset
    return preset, len(pairs), sorted(filled)


def export_map(armature, path):
    data = {"format": "telmoralink-bone-map", "version": 1,
            "preset": armature.telmoralink.preset, "bones": bone_map(armature)}
    with open(path, "w", encoding="utf-8") as out:
        json.dump(data, out, indent=2, sort_keys=True)


def import_map(armature, path):
    """Reads a bone map written by export_map; the bones the rig lacks are left unmapped.
    Returns (mapped, missing bone names)."""
    with open(path, encoding="utf-8") as source:
        data = json.load(source)
    if not isinstance(data, dict) or not isinstance(data.get("bones"), dict):
        raise ValueError("%s is no TelmoraLink bone map" % path)
    known = set(skeleton_names())
    pairs = {str(k): str(v) for k, v in data["bones"].items() if k in known}
    missing = sorted(v for v in pairs.values() if v not in armature.data.bones)
    pairs = {k: v for k, v in pairs.items() if v in armature.data.bones}
    set_bone_map(armature, pairs)
    armature.telmoralink.preset = str(data.get("preset", ""))
    return len(pairs), missing


class Follower:
    """A calibrated rig: the core's retargeting and how its result lands on the pose bones."""

    def __init__(self, armature):
        bones = armature.data.bones
        names = [b.name for b in bones]
        index = {name: i for i, name in enumerate(names)}
        # The core takes parents before children; Blender's bone order need not be.
        order, placed = [], set()
        pending = list(range(len(bones)))
        while pending:
            rest = []
            for i in pending:
                parent = bones[i].parent
                if parent is None or index[parent.name] in placed:
                    order.append(i)
                    placed.add(i)
                else:
                    rest.append(i)
            pending = rest
        self.order = numpy.array(order, dtype=numpy.intc)
        position = {bone: k for k, bone in enumerate(order)}
        parents = [position[index[bones[i].parent.name]] if bones[i].parent else -1
                   for i in order]
        ours = {name: i for i, name in enumerate(skeleton_names())}
        pairs = bone_map(armature)
        follows = {target: ours[source] for source, target in pairs.items()
                   if target in index and source in ours}
        sources = [follows.get(names[i], -1) for i in order]
        rest_matrices = numpy.array([numpy.array(bones[i].matrix_local) for i in order])
        stored = armature.get(_CALIBRATION)
        if stored is None or len(stored) != 16 * len(bones):
            raise core.CoreInputError("Calibrate the rig first")
        poses = numpy.array(stored, dtype=numpy.float64).reshape(len(bones), 4, 4)[order]
        object_matrix = numpy.array(armature[_CALIBRATION_OBJECT], dtype=numpy.float64)
        self.retarget = core.Retarget(parents, sources, rest_matrices, poses, object_matrix)
        self.names = names
        self.mapped = numpy.zeros(len(bones), dtype=bool)
        self.mapped[self.order[numpy.array(sources) >= 0]] = True
        self.object_location = numpy.array(object_matrix.reshape(4, 4)[:3, 3])
        self.refresh_modes(armature)

    def refresh_modes(self, armature):
        """Which mapped bones take quaternions, and which Euler angles (their own modes)."""
        modes = [b.rotation_mode for b in armature.pose.bones]
        self.modes = modes
        self.quaternion_bones = numpy.array(
            [i for i, m in enumerate(modes) if self.mapped[i] and m == "QUATERNION"],
            dtype=numpy.intp)
        self.other_bones = [i for i, m in enumerate(modes)
                            if self.mapped[i] and m != "QUATERNION"]

    def solve(self, translations, rotations, root_motion, foot_planting):
        """(locations, quaternions) of every pose bone in Blender's order, and the object's
        travel, for one performer pose."""
        locations, quaternions, offset = self.retarget.solve(
            translations, rotations, _ROOT_MOTION[root_motion], foot_planting)
        out_locations = numpy.empty_like(locations)
        out_quaternions = numpy.empty_like(quaternions)
        out_locations[self.order] = locations
        out_quaternions[self.order] = quaternions
        return out_locations, out_quaternions, numpy.array(offset)

    def apply(self, armature, locations, quaternions, offset, root_motion):
        """Writes the mapped bones' pose; the others keep theirs."""
        bones = armature.pose.bones
        count = len(bones)
        if any(b.rotation_mode != m for b, m in zip(bones, self.modes)):
            self.refresh_modes(armature)
        current = numpy.empty(count * 3)
        bones.foreach_get("location", current)
        current = current.reshape(count, 3)
        current[self.mapped] = locations[self.mapped]
        bones.foreach_set("location", current.ravel())
        if len(self.quaternion_bones):
            turned = numpy.empty(count * 4)
            bones.foreach_get("rotation_quaternion", turned)
            turned = turned.reshape(count, 4)
            turned[self.quaternion_bones] = quaternions[self.quaternion_bones]
            bones.foreach_set("rotation_quaternion", turned.ravel())
        for i in self.other_bones:
            bone = bones[i]
            q = mathutils.Quaternion(quaternions[i])
            if bone.rotation_mode == "AXIS_ANGLE":
                axis, angle = q.to_axis_angle()
                bone.rotation_axis_angle = (angle, *axis)
            else:
                bone.rotation_euler = q.to_euler(bone.rotation_mode, bone.rotation_euler)
        if root_motion == "OBJECT":
            armature.location = self.object_location + offset
        armature.update_tag()


def calibrate(armature, context):
    """Keeps the rig's current pose (its rest pose, or the pose the user put it in to match the
    performer's T-pose) as its calibration, and checks that the rig can follow a performer:
    raises CoreInputError naming what is missing."""
    context.view_layer.update()
    bones = armature.pose.bones
    poses = numpy.array([numpy.array(b.matrix) for b in bones]).reshape(-1)
    saved = (armature.get(_CALIBRATION), armature.get(_CALIBRATION_OBJECT))
    armature[_CALIBRATION] = poses.tolist()
    armature[_CALIBRATION_OBJECT] = numpy.array(armature.matrix_world).reshape(-1).tolist()
    try:
        follower = Follower(armature)
    except core.CoreError:
        for key, value in zip((_CALIBRATION, _CALIBRATION_OBJECT), saved):
            if value is None:
                del armature[key]
            else:
                armature[key] = value
        raise
    settings = armature.telmoralink
    settings.calibrated = True
    settings.calibration_serial += 1
    FOLLOWERS[(armature.name, settings.calibration_serial)] = follower
    return follower


# Calibrated rigs by name and calibration, rebuilt from the calibration kept on the rig when
# missing (a file opened again, an undo).
FOLLOWERS = {}


def follower(armature):
    """The rig's Follower, or None when it is not calibrated (or no longer can be)."""
    if not armature.telmoralink.calibrated:
        return None
    key = (armature.name, armature.telmoralink.calibration_serial)
    found = FOLLOWERS.get(key)
    if found is None or len(found.names) != len(armature.data.bones):
        try:
            found = FOLLOWERS[key] = Follower(armature)
        except core.CoreError:
            return None
    return found
