"""The add-on's live side, apart from its user interface: discovery, one connection per
armature, and the timer callback that poses the armatures, keys them while recording and asks
Blender to redraw the sidebar when what it shows has changed.

Threads: the network and the solving run on the core library's threads. Blender's data is
touched only here, on Blender's main thread, from the timer callback (`timer`) and the
operators; the callback reads each stream's latest snapshot and returns, never waiting for the
network. The timer runs only while discovery listens or something streams."""

import time
import uuid

import bpy
import mathutils
import numpy

from . import core, rig

# How often the timer callback runs while something streams: above the fastest stream rate
# worth showing; while only discovery listens, often enough for the lists.
TICK_SECONDS = 1.0 / 120.0
IDLE_TICK_SECONDS = 0.1
# The sidebar is redrawn at most this often while only its figures change; a change of what it
# says (a stall, a server heard or lost) is drawn at the next tick.
REDRAW_SECONDS = 0.25

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
    """The one discovery service, started by Connect (or auto-connect) on a port; nothing
    listens before that."""

    def __init__(self):
        self._service = None

    @property
    def port(self):
        return self._service.port if self._service is not None else None

    @property
    def running(self):
        return self._service is not None

    def servers(self, port=None):
        """The servers heard (none while not listening, or listening on another port)."""
        if self._service is None or (port is not None and port != self._service.port):
            return []
        return self._service.servers()

    def listening(self, port=None):
        """False only when discovery runs on `port` and could not bind it."""
        if self._service is None or (port is not None and port != self._service.port):
            return True
        return self._service.listening

    def restart(self, port):
        """Listens on `port` afresh (Connect in the panel)."""
        self.stop()
        self._service = core.Discovery(port)

    def stop(self):
        if self._service is not None:
            self._service.stop()
            self._service = None


class Recording:
    """The samples of one take: a key per scene frame, kept until the take is written."""

    def __init__(self, frame_start):
        self.frame_start = frame_start
        self.frames = []
        self.locations = []
        self.rotations = []
        self.offsets = []    # the object's travel (root motion carried by the object)
        self.sequences = []  # the stream frame each key was solved from

    def add(self, frame, locations, rotations, offset=None, sequence=0):
        if self.frames and frame <= self.frames[-1]:
            return  # the timeline went back or stood still: that frame is keyed already
        self.offsets.append(numpy.zeros(3) if offset is None else numpy.array(offset))
        self.sequences.append(sequence)
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

    def update(self, scene, armature):
        """Poses the armature from the latest frame and keys it while recording. Never waits."""
        if armature.type != "ARMATURE":
            return
        sequence, translations, rotations = self.stream.snapshot()
        if sequence == 0:
            return
        stale = self.stream.health()["stale"]
        settings = armature.telmoralink
        shown = settings.live
        # A recording keys the stream's pose whether or not the armature shows it.
        follower = rig.follower(armature) if settings.bone_map else None
        if settings.bone_map and follower is None:
            return  # a rig that cannot follow (not calibrated, or its map changed): left as is
        if sequence != self.shown_sequence and (shown or self.recording is not None):
            if follower is not None:
                pose = follower.solve(translations, rotations, settings.root_motion,
                                      settings.foot_planting)
                if shown:
                    follower.apply(armature, *pose, settings.root_motion)
            else:
                pose = self.default_pose(armature, translations, rotations)
                if shown:
                    bones = armature.pose.bones
                    bones.foreach_set("location", pose[0].ravel())
                    bones.foreach_set("rotation_quaternion", pose[1].ravel())
                    armature.update_tag()
            self.shown_sequence = sequence
            self.pose = pose
        if self.recording is not None and not stale and self.pose is not None:
            if bpy.app.background or timeline_playing():
                self.recording.add(scene.frame_current, *self.pose, sequence=self.shown_sequence)

    def default_pose(self, armature, translations, rotations):
        return default_pose(armature, translations, rotations)

    def start_recording(self, scene):
        self.recording = Recording(scene.frame_current)

    def stop_recording(self, scene):
        """Writes the take as one action of quaternion keys, grouped per bone; the action."""
        recording, self.recording = self.recording, None
        armature = self.armature()
        if recording is None or armature is None or not recording.frames:
            return None
        return write_action(armature, recording)


_REST = {}  # an armature of the default skeleton's rest, by name: (bone count, rest, parents, order)


def default_pose(armature, translations, rotations):
    """The pose of an armature of the default skeleton (made by Create armature): each bone's
    head on its channel, its frame turned by its channel's rotation; (locations, quaternions,
    None)."""
    bones = armature.data.bones
    known = _REST.get(armature.name)
    if known is None or known[0] != len(bones):
        rest = numpy.array([numpy.array(b.matrix_local) for b in bones])
        names = [b.name for b in bones]
        parents = [names.index(b.parent.name) if b.parent else -1 for b in bones]
        channels = {name: index for index, (name, _, _) in enumerate(skeleton())}
        order = numpy.array([channels.get(name, 0) for name in names])
        known = _REST[armature.name] = (len(bones), rest, parents, order)
    _, rest, parents, order = known
    locations, quaternions = core.armature_pose(rest, parents, translations[order],
                                                rotations[order])
    return locations, quaternions, None


def poser(armature):
    """The function giving the armature's pose for a performer pose: the retargeting of a
    calibrated rig, or the default skeleton's own pose on an armature of its bones; raises
    CoreInputError for a rig that is neither."""
    settings = armature.telmoralink
    if not settings.bone_map:
        if not rig.is_default_skeleton(armature):
            raise core.CoreInputError("Auto-map and calibrate the rig first")
        return lambda translations, rotations: default_pose(armature, translations, rotations)
    follower = rig.follower(armature)
    if follower is None:
        raise core.CoreInputError("Calibrate the rig first")
    return lambda translations, rotations: follower.solve(
        translations, rotations, settings.root_motion, settings.foot_planting)


def bake_capture(armature, capture, scene, progress=None):
    """Keys the captured stream onto the armature at the scene's frame rate from the scene's
    first frame: at each frame the latest captured frame at or before its time. The same file
    gives the same keys. `progress(done, total)` is called as it goes. Returns the action."""
    fps = scene.render.fps / scene.render.fps_base
    duration = float(capture.times[-1]) if len(capture.times) else 0.0
    count = int(numpy.floor(duration * fps + 1e-9)) + 1 if len(capture.times) else 0
    pose_of = poser(armature)
    recording = Recording(scene.frame_start)
    solved_index, pose = -1, None
    for k in range(count):
        index = int(numpy.searchsorted(capture.times, k / fps + 1e-9, side="right")) - 1
        if index != solved_index:
            try:
                pose = pose_of(*capture.pose(index))
            except core.CoreInputError:
                pass  # a frame that cannot be solved: the one before holds
            solved_index = index
        if pose is not None:
            recording.add(scene.frame_start + k, *pose, sequence=index + 1)
        if progress is not None and k % 256 == 0:
            progress(k, count)
    if not recording.frames:
        return None
    return write_action(armature, recording)


def layered_actions():
    """Whether this Blender keeps keys in layered actions (slots, layers, strips and their
    channelbags: Blender 4.4 and later), told by what its API offers."""
    strip = getattr(bpy.types, "ActionKeyframeStrip", None)
    slots = getattr(bpy.types, "ActionSlots", None)
    return (strip is not None and slots is not None and
            "channelbag" in strip.bl_rna.functions and
            "id_type" in slots.bl_rna.functions["new"].parameters)


def _take_curves(action, armature):
    """What the take's curves are made in, and a function making one in a bone's group:
    the slot's channelbag where actions are layered, else the action itself."""
    if layered_actions():
        slot = action.slots.new(id_type="OBJECT", name=armature.name)
        strip = action.layers.new("Take").strips.new(type="KEYFRAME")
        channelbag = strip.channelbag(slot, ensure=True)
        groups = {}

        def new_curve(data_path, index, group_name):
            curve = channelbag.fcurves.new(data_path, index=index)
            if group_name not in groups:
                groups[group_name] = channelbag.groups.new(group_name)
            curve.group = groups[group_name]
            return curve
        return slot, new_curve

    def new_curve(data_path, index, group_name):
        return action.fcurves.new(data_path, index=index, action_group=group_name)
    return None, new_curve


def _unrolled(quaternions, mode):
    """A bone's keys as angles in its own rotation mode: Euler angles each kept nearest the
    previous key's (no channel jumps by 360 degrees), or axis-angle (angle first)."""
    out = numpy.empty((len(quaternions), 4 if mode == "AXIS_ANGLE" else 3))
    previous = None
    for k, q in enumerate(quaternions):
        q = mathutils.Quaternion(q)
        if mode == "AXIS_ANGLE":
            axis, angle = q.to_axis_angle()
            out[k] = (angle, *axis)
        else:
            previous = q.to_euler(mode) if previous is None else q.to_euler(mode, previous)
            out[k] = previous
    return out


_ROTATION_PATHS = {"QUATERNION": "rotation_quaternion", "AXIS_ANGLE": "rotation_axis_angle"}


def write_action(armature, recording):
    """One action holding the take, linear between keys. An armature of the default skeleton:
    a key per recorded frame on every bone's location and rotation quaternion, grouped per bone.
    A user's rig: its mapped bones only, each in its own rotation mode (Euler angles unrolled),
    locations where they move, and the object's location where it carries the travel."""
    name = "%s take %s" % (armature.name, time.strftime("%Y-%m-%d %H:%M:%S"))
    action = bpy.data.actions.new(name)
    action.use_fake_user = True
    slot, new_curve = _take_curves(action, armature)
    frames = numpy.array(recording.frames, dtype=numpy.float64)
    locations = numpy.array(recording.locations)  # keys x bones x 3
    rotations = numpy.array(recording.rotations)  # keys x bones x 4
    points = numpy.empty(2 * len(frames))
    points[0::2] = frames
    linear = [_LINEAR] * len(frames)

    def key(data_path, index, group, values):
        curve = new_curve(data_path, index, group)
        curve.keyframe_points.add(len(frames))
        points[1::2] = values
        curve.keyframe_points.foreach_set("co", points)
        curve.keyframe_points.foreach_set("interpolation", linear)
        curve.update()

    follower = rig.follower(armature) if armature.telmoralink.bone_map else None
    for index, bone in enumerate(armature.pose.bones):
        if follower is not None and not follower.mapped[index]:
            continue
        base = 'pose.bones["%s"].' % bpy.utils.escape_identifier(bone.name)
        moves = numpy.ptp(locations[:, index, :], axis=0).max() > 1e-7 if len(frames) else False
        if follower is None or moves:
            for component in range(3):
                key(base + "location", component, bone.name, locations[:, index, component])
        mode = bone.rotation_mode if follower is not None else "QUATERNION"
        values = (rotations[:, index, :] if mode == "QUATERNION"
                  else _unrolled(rotations[:, index, :], mode))
        path = base + _ROTATION_PATHS.get(mode, "rotation_euler")
        for component in range(values.shape[1]):
            key(path, component, bone.name, values[:, component])
    if follower is not None and armature.telmoralink.root_motion == "OBJECT":
        offsets = numpy.array(recording.offsets)
        for component in range(3):
            key("location", component, "Object Transforms",
                follower.object_location[component] + offsets[:, component])
    armature.animation_data_create()
    armature.animation_data.action = action
    if slot is not None:
        armature.animation_data.action_slot = slot
    return action


def take_curves(action):
    """The F-curves of a take written by write_action, whichever way it was stored."""
    if layered_actions():
        return [curve for layer in action.layers for strip in layer.strips
                for bag in strip.channelbags for curve in bag.fcurves]
    return list(action.fcurves)


# The enum value of LINEAR interpolation as foreach_set takes it.
_LINEAR = bpy.types.Keyframe.bl_rna.properties["interpolation"].enum_items["LINEAR"].value


def redraw_sidebars():
    """Asks Blender to redraw the sidebar of every 3-D view (where the panel is)."""
    manager = bpy.context.window_manager
    if manager is None:
        return
    for window in manager.windows:
        for area in window.screen.areas if window.screen is not None else ():
            if area.type == "VIEW_3D":
                for region in area.regions:
                    if region.type == "UI":
                        region.tag_redraw()


class Live:
    """Everything the add-on runs: discovery and the connections, by their armatures' keys."""

    def __init__(self):
        self.discoveries = Discoveries()
        self.connections = {}
        self._shown = None  # what the sidebar said when it was last asked to redraw
        self._shown_at = 0.0

    def connect(self, armature, server, subject):
        self.disconnect(armature)
        connection = Connection(armature, server, subject)
        self.connections[connection.key] = connection
        self.wake()

    def start_discovery(self, port):
        self.discoveries.restart(port)
        self.wake()

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

    @property
    def running(self):
        return self.discoveries.running or bool(self.connections)

    def wake(self):
        """Starts the timer (it stops by itself once nothing runs)."""
        if not bpy.app.timers.is_registered(timer):
            bpy.app.timers.register(timer, first_interval=0.0, persistent=True)

    def tick(self, scene):
        for key, connection in list(self.connections.items()):
            armature = connection.armature()
            if armature is None or not armature.users_collection:
                # Deleted, or its creation undone: its stream goes with it.
                self._close(key)
            else:
                connection.update(scene, armature)
        self._redraw_if_changed()

    def _redraw_if_changed(self):
        servers = tuple((s["name"], s["ip"], tuple(s["subjects"]))
                        for s in self.discoveries.servers())
        healths = tuple(health_lines(c) for c in self.connections.values())
        shown = (servers, self.discoveries.listening(), tuple(self.connections),
                 tuple(lines[0].split(" ")[0] for lines in healths), healths)
        if shown == self._shown:
            return
        now = time.monotonic()
        # Only the figures changed: at most every REDRAW_SECONDS.
        if self._shown is not None and shown[:4] == self._shown[:4] and \
                now - self._shown_at < REDRAW_SECONDS:
            return
        self._shown, self._shown_at = shown, now
        redraw_sidebars()

    def stop(self):
        for key in list(self.connections):
            self._close(key)
        self.discoveries.stop()
        self._shown = None


LIVE = Live()


def timer():
    """The timer callback: Blender's main thread, every TICK_SECONDS while something streams;
    it unregisters itself once nothing runs."""
    scene = bpy.context.scene
    if scene is not None:
        LIVE.tick(scene)
    if not LIVE.running:
        redraw_sidebars()
        return None
    return TICK_SECONDS if LIVE.connections else IDLE_TICK_SECONDS


def health_lines(connection):
    """The stream's health as the sidebar shows it, on two lines."""
    if connection is None:
        return ("Not streaming", "")
    health = connection.stream.health()
    figures = "%d refused \u00b7 %d gaps" % (health["refused"], health["gaps"])
    if health["stale"]:
        return ("No frames for %.1f s" % health["last_frame_age"], figures)
    if not health["any_frame"]:
        return ("Waiting for frames", figures)
    return ("%.0f Hz \u00b7 last frame %.0f ms ago" % (health["rate_hz"],
                                                    health["last_frame_age"] * 1000.0), figures)


def create_armature(name, context):
    """A 65-bone armature of the default skeleton at the origin, named `name`, in quaternion
    rotation mode; its bones' heads at the skeleton's rest positions."""
    bones = skeleton()
    data = bpy.data.armatures.new(name)
    armature = bpy.data.objects.new(name, data)
    context.collection.objects.link(armature)
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
    # A new object is the one selected and active, as Blender's own Add menu leaves it.
    for selected in context.view_layer.objects:
        if selected.select_get():
            selected.select_set(False)
    armature.select_set(True)
    return armature
