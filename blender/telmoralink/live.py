"""The add-on's live side, apart from its user interface: discovery, one connection per
armature, and the timer callback that poses the armatures and keys them while recording.

Threads: the network and the solving run on the C++ module's threads. Blender's data is touched
only here, on Blender's main thread, from the timer callback (`tick`) and the operators; the
callback reads each stream's latest snapshot and returns, never waiting for the network."""

import time
import uuid

import bpy
import numpy

from . import telmoralink_core as core

# How often the timer callback runs: above the fastest stream rate worth showing.
TICK_SECONDS = 1.0 / 120.0

# The bone channels one key of a take holds: location x, y, z and rotation w, x, y, z.
_CHANNELS = [("location", i) for i in range(3)] + [("rotation_quaternion", i) for i in range(4)]


def timeline_playing():
    """Whether the timeline plays in any window (a timer callback has no screen of its own)."""
    manager = bpy.context.window_manager
    return manager is not None and any(
        window.screen is not None and window.screen.is_animation_playing
        for window in manager.windows)


def skeleton():
    """The default skeleton: (name, parent, rest position in cm) per bone, parents first."""
    return core.default_skeleton()


def to_blender(translation_cm):
    """A channel translation (x, y, z) in cm, y up, as a Blender position (x, -z, y) / 100 m."""
    x, y, z = translation_cm
    return (x / 100.0, -z / 100.0, y / 100.0)


class Discoveries:
    """One discovery service per listening port, shared by every connection."""

    def __init__(self):
        self._services = {}

    def servers(self, port):
        service = self._services.get(port)
        if service is None:
            service = self._services[port] = core.Discovery(port)
        return service.servers()

    def listening(self, port):
        service = self._services.get(port)
        return service is None or service.listening

    def restart(self, port):
        """Listens on `port` afresh (Connect in the panel)."""
        old = self._services.pop(port, None)
        if old is not None:
            old.stop()
        self._services[port] = core.Discovery(port)

    def stop(self):
        for service in self._services.values():
            service.stop()
        self._services.clear()


class Recording:
    """The samples of one take: a key per scene frame, kept until the take is written."""

    def __init__(self, frame_start):
        self.frame_start = frame_start
        self.frames = []
        self.locations = []
        self.rotations = []

    def add(self, frame, locations, rotations):
        if self.frames and frame <= self.frames[-1]:
            return  # the timeline went back or stood still: that frame is keyed already
        # Each bone's quaternion stays in the hemisphere of its previous key, so that blending
        # between keys takes the short way.
        if self.rotations:
            previous = self.rotations[-1]
            flip = numpy.sum(previous * rotations, axis=1) < 0.0
            rotations = numpy.where(flip[:, None], -rotations, rotations)
        self.frames.append(frame)
        self.locations.append(numpy.array(locations))
        self.rotations.append(numpy.array(rotations))


class Connection:
    """One armature's stream: the server and subject, the latest pose shown and the take."""

    def __init__(self, armature, server, subject):
        # The armature carries the connection's key, so that renaming it keeps the stream.
        self.key = armature.telmoralink.connection = uuid.uuid4().hex
        self._armature_name = armature.name
        self.server = server
        self.subject = subject
        self.stream = core.Stream()
        self.stream.connect(server["ip"], server["stream_port"], subject)
        self.shown_sequence = 0  # the frame `pose` was solved from
        self.pose = None  # the (locations, quaternions) last solved
        self.recording = None
        self._rest = None  # the armature's rest matrices, its parents, its bones' channels
        self._parents = None
        self._order = None

    def close(self):
        self.stream.disconnect()

    def armature(self):
        """The armature streamed to, found again by its key once renamed; None once deleted."""
        armature = bpy.data.objects.get(self._armature_name)
        if armature is None or armature.telmoralink.connection != self.key:
            armature = next((o for o in bpy.data.objects if o.telmoralink.connection == self.key),
                            None)
            if armature is not None:
                self._armature_name = armature.name
        return armature

    def _rest_of(self, armature):
        """The armature's rest matrices and parents, and for each of its bones the channel it
        follows (by name)."""
        if self._rest is None or len(self._rest) != len(armature.data.bones):
            bones = armature.data.bones
            self._rest = numpy.array([numpy.array(b.matrix_local) for b in bones])
            names = [b.name for b in bones]
            self._parents = [names.index(b.parent.name) if b.parent else -1 for b in bones]
            channels = {name: index for index, (name, _, _) in enumerate(skeleton())}
            self._order = numpy.array([channels.get(name, 0) for name in names])
        return self._rest, self._parents, self._order

    def update(self, scene):
        """Poses the armature from the latest frame and keys it while recording. Never waits."""
        armature = self.armature()
        if armature is None or armature.type != "ARMATURE":
            return
        sequence, translations, rotations = self.stream.snapshot()
        if sequence == 0:
            return
        stale = self.stream.health()["stale"]
        shown = armature.telmoralink.live
        # A recording keys the stream's pose whether or not the armature shows it.
        if sequence != self.shown_sequence and (shown or self.recording is not None):
            rest, parents, order = self._rest_of(armature)
            locations, quaternions = core.armature_pose(rest, parents, translations[order],
                                                        rotations[order])
            if shown:
                bones = armature.pose.bones
                bones.foreach_set("location", locations.ravel())
                bones.foreach_set("rotation_quaternion", quaternions.ravel())
                armature.update_tag()
            self.shown_sequence = sequence
            self.pose = (locations, quaternions)
        if self.recording is not None and not stale and self.pose is not None:
            if bpy.app.background or timeline_playing():
                self.recording.add(scene.frame_current, *self.pose)

    def start_recording(self, scene):
        self.recording = Recording(scene.frame_current)

    def stop_recording(self, scene):
        """Writes the take as one action of quaternion keys, grouped per bone; the action."""
        recording, self.recording = self.recording, None
        armature = self.armature()
        if recording is None or armature is None or not recording.frames:
            return None
        return write_action(armature, recording, scene)


def write_action(armature, recording, scene):
    """One action holding the take: a key per recorded frame on every bone's location and
    rotation quaternion curves, grouped per bone, linear in between."""
    name = "%s take %s" % (armature.name, time.strftime("%Y-%m-%d %H:%M:%S"))
    action = bpy.data.actions.new(name)
    action.use_fake_user = True
    frames = numpy.array(recording.frames, dtype=numpy.float64)
    locations = numpy.array(recording.locations)  # keys x bones x 3
    rotations = numpy.array(recording.rotations)  # keys x bones x 4
    for index, bone in enumerate(armature.pose.bones):
        group = action.groups.new(bone.name)
        for path, component in _CHANNELS:
            data_path = 'pose.bones["%s"].%s' % (bone.name, path)
            curve = action.fcurves.new(data_path, index=component, action_group=group.name)
            values = (locations[:, index, component] if path == "location"
                      else rotations[:, index, component])
            curve.keyframe_points.add(len(frames))
            points = numpy.empty(2 * len(frames))
            points[0::2] = frames
            points[1::2] = values
            curve.keyframe_points.foreach_set("co", points)
            curve.keyframe_points.foreach_set("interpolation",
                                              [_LINEAR] * len(frames))
            curve.update()
    armature.animation_data_create()
    armature.animation_data.action = action
    return action


# The enum value of LINEAR interpolation as foreach_set takes it.
_LINEAR = bpy.types.Keyframe.bl_rna.properties["interpolation"].enum_items["LINEAR"].value


class Live:
    """Everything the add-on runs: discovery and the connections, by their armatures' keys."""

    def __init__(self):
        self.discoveries = Discoveries()
        self.connections = {}

    def connect(self, armature, server, subject):
        self.disconnect(armature)
        connection = Connection(armature, server, subject)
        self.connections[connection.key] = connection

    def disconnect(self, armature):
        self._close(armature.telmoralink.connection)

    def connection(self, armature):
        """The armature's connection; None for an object that streams nothing."""
        if armature is None or not armature.telmoralink.connection:
            return None
        return self.connections.get(armature.telmoralink.connection)

    def _close(self, key):
        connection = self.connections.pop(key, None)
        if connection is not None:
            connection.close()

    def tick(self, scene):
        for connection in list(self.connections.values()):
            connection.update(scene)

    def stop(self):
        for key in list(self.connections):
            self._close(key)
        self.discoveries.stop()


LIVE = Live()


def timer():
    """The timer callback: Blender's main thread, every TICK_SECONDS."""
    scene = bpy.context.scene
    if scene is not None:
        LIVE.tick(scene)
    return TICK_SECONDS


def create_armature(name, context):
    """A 65-bone armature of the default skeleton at the origin, named `name`, in quaternion
    rotation mode; its bones' heads at the skeleton's rest positions."""
    bones = skeleton()
    data = bpy.data.armatures.new(name)
    armature = bpy.data.objects.new(name, data)
    context.collection.objects.link(armature)
    previous_active = context.view_layer.objects.active
    context.view_layer.objects.active = armature
    bpy.ops.object.mode_set(mode="EDIT")
    heads = [numpy.array(to_blender(rest)) for _, _, rest in bones]
    children = {}
    for index, (_, parent, _) in enumerate(bones):
        children.setdefault(parent, []).append(index)
    edit_bones = []
    for index, (bone_name, parent, _) in enumerate(bones):
        bone = data.edit_bones.new(bone_name)
        bone.head = heads[index]
        # The tail towards the first child a little way off, else on along the parent's line.
        direction = None
        for child in children.get(index, []):
            offset = heads[child] - heads[index]
            if numpy.linalg.norm(offset) > 1e-4:
                direction = offset
                break
        if direction is None and parent >= 0:
            direction = heads[index] - heads[parent]
        if direction is None or numpy.linalg.norm(direction) < 1e-4:
            direction = numpy.array((0.0, 0.0, 0.1))
        length = max(0.02, min(numpy.linalg.norm(direction), 0.3))
        bone.tail = heads[index] + direction / numpy.linalg.norm(direction) * length
        bone.roll = 0.0
        if parent >= 0:
            bone.parent = edit_bones[parent]
            bone.use_connect = False
        edit_bones.append(bone)
    bpy.ops.object.mode_set(mode="OBJECT")
    for pose_bone in armature.pose.bones:
        pose_bone.rotation_mode = "QUATERNION"
    context.view_layer.objects.active = previous_active or armature
    return armature
