"""TelmoraLink for Blender: a Telmora motion-capture stream live on an armature, on the
plug-in's own motion core and network layer (the C API's library beside this file, loaded with
ctypes).

The "TelmoraLink" tab of the 3-D view's sidebar: the listening port with Connect, the servers
heard and the chosen server's subjects, Create armature, Live, Record and the stream's health.
Blender 4.2 and later install the zip as an extension (blender_manifest.toml); older ones as an
add-on (bl_info).
"""

bl_info = {
    "name": "TelmoraLink",
    "author": "TelmoraLink",
    "version": (0, 3, 0),
    "blender": (3, 4, 0),
    "location": "View3D > Sidebar > TelmoraLink",
    "description": "Live Telmora motion capture on an armature, recorded as quaternion keys",
    "category": "Animation",
}

import atexit

import bpy
from bpy.app.handlers import persistent
from bpy_extras.io_utils import ExportHelper, ImportHelper

from . import core, live, rig

_NOTHING = "(none)"


def preferences(context=None):
    """The add-on's preferences (kept across files); None while it is not enabled."""
    context = context or bpy.context
    addon = context.preferences.addons.get(__package__)
    return addon.preferences if addon is not None else None


def _port(context):
    prefs = preferences(context)
    return prefs.port if prefs is not None else core.DEFAULT_LISTEN_PORT


# The items callbacks only read what discovery has heard: nothing here opens a socket.
def _source_items(self, context):
    names = []
    for server in live.LIVE.discoveries.servers():
        if server["name"] not in names:
            names.append(server["name"])
    # The choice stays listed while its server is silent, so it is kept by name.
    if self.source_name and self.source_name not in names:
        names.append(self.source_name)
    items = [(_NOTHING, _NOTHING, "")] + [(name, name, "") for name in names]
    _source_items.cache = items  # Blender needs the strings kept alive
    return items


def _subject_items(self, context):
    subjects = []
    for server in live.LIVE.discoveries.servers():
        if server["name"] == self.source_name:
            subjects += [s for s in server["subjects"] if s not in subjects]
    if self.subject_name and self.subject_name not in subjects:
        subjects.append(self.subject_name)
    items = [(_NOTHING, _NOTHING, "")] + [(name, name, "") for name in subjects]
    _subject_items.cache = items
    return items


def _source_changed(self, context):
    self.source_name = "" if self.source == _NOTHING else self.source


def _subject_changed(self, context):
    self.subject_name = "" if self.subject == _NOTHING else self.subject


class TelmoraLinkPreferences(bpy.types.AddonPreferences):
    """What a user keeps across files: the listening port and whether to listen at start."""

    bl_idname = __package__

    port: bpy.props.IntProperty(name="Port", default=core.DEFAULT_LISTEN_PORT, min=1,
                                max=65535, description="The port servers announce to")
    auto_connect: bpy.props.BoolProperty(
        name="Connect at start", default=False,
        description="Listen for servers as soon as Blender starts or opens a file")

    def draw(self, context):
        layout = self.layout
        layout.prop(self, "port")
        layout.prop(self, "auto_connect")
        error = core.load_error()
        if error:
            layout.label(text=error, icon="ERROR")


class TelmoraLinkSettings(bpy.types.PropertyGroup):
    """The panel's choices, per scene."""

    source: bpy.props.EnumProperty(name="Source", items=_source_items, update=_source_changed)
    subject: bpy.props.EnumProperty(name="Subject", items=_subject_items,
                                    update=_subject_changed)
    source_name: bpy.props.StringProperty()
    subject_name: bpy.props.StringProperty()


class TelmoraLinkBonePair(bpy.types.PropertyGroup):
    """One line of a rig's bone map: a bone of the default skeleton and the rig's bone that
    follows it ("" for none)."""

    source: bpy.props.StringProperty(name="Performer bone")
    target: bpy.props.StringProperty(name="Rig bone",
                                     description="The rig's bone that follows this one")


class TelmoraLinkArmature(bpy.types.PropertyGroup):
    """What an armature streams, and how a user's rig follows the performer."""

    server: bpy.props.StringProperty()
    subject: bpy.props.StringProperty()
    live: bpy.props.BoolProperty(name="Live", default=True,
                                 description="Show the stream on the armature")
    connection: bpy.props.StringProperty()  # the key of its stream in the add-on
    bone_map: bpy.props.CollectionProperty(type=TelmoraLinkBonePair)
    bone_map_index: bpy.props.IntProperty()
    preset: bpy.props.StringProperty(name="Preset")
    calibrated: bpy.props.BoolProperty()
    calibration_serial: bpy.props.IntProperty()
    root_motion: bpy.props.EnumProperty(name="Root motion", items=rig.ROOT_MOTION_ITEMS,
                                        default="FULL")
    foot_planting: bpy.props.BoolProperty(
        name="Plant feet", default=True,
        description="Solve each leg so the ankle lands where the performer's does, scaled")


def _chosen_server(settings):
    for server in live.LIVE.discoveries.servers():
        if server["name"] == settings.source_name and settings.subject_name in server["subjects"]:
            return server
    return None


def _library_ready(cls):
    error = core.load_error()
    if error is not None and hasattr(cls, "poll_message_set"):  # Blender 3.0 and later
        cls.poll_message_set(error)
    return error is None


class TELMORALINK_OT_connect(bpy.types.Operator):
    """Listen for Telmora servers on the port"""

    bl_idname = "telmoralink.connect"
    bl_label = "Connect"
    bl_options = {"REGISTER"}

    @classmethod
    def poll(cls, context):
        return _library_ready(cls)

    def execute(self, context):
        try:
            live.LIVE.start_discovery(_port(context))
        except core.CoreError as error:
            self.report({"ERROR"}, str(error))
            return {"CANCELLED"}
        return {"FINISHED"}


class TELMORALINK_OT_create_armature(bpy.types.Operator):
    """A 65-bone armature of the default skeleton, streaming the chosen subject"""

    bl_idname = "telmoralink.create_armature"
    bl_label = "Create armature"
    bl_options = {"REGISTER", "UNDO"}

    @classmethod
    def poll(cls, context):
        if not _library_ready(cls) or context.mode != "OBJECT":
            return False
        settings = getattr(context.scene, "telmoralink", None)
        return settings is not None and _chosen_server(settings) is not None

    def execute(self, context):
        settings = context.scene.telmoralink
        server = _chosen_server(settings)
        if server is None:
            self.report({"ERROR"}, "Choose a source and one of its subjects first")
            return {"CANCELLED"}
        armature = live.create_armature(settings.subject_name, context)
        armature.telmoralink.server = server["name"]
        armature.telmoralink.subject = settings.subject_name
        try:
            live.LIVE.connect(armature, server, settings.subject_name)
        except core.CoreError as error:
            self.report({"ERROR"}, str(error))
            return {"CANCELLED"}
        return {"FINISHED"}


def _streaming_object(context):
    return live.LIVE.connection(context.object) is not None


class TELMORALINK_OT_disconnect(bpy.types.Operator):
    """Stop the armature's stream"""

    bl_idname = "telmoralink.disconnect"
    bl_label = "Disconnect"
    bl_options = {"REGISTER"}

    @classmethod
    def poll(cls, context):
        return _streaming_object(context)

    def execute(self, context):
        live.LIVE.disconnect(context.object)
        return {"FINISHED"}


class TELMORALINK_OT_record(bpy.types.Operator):
    """Record the armature's stream on the timeline (starts playback); again to stop"""

    bl_idname = "telmoralink.record"
    bl_label = "Record"
    bl_options = {"REGISTER", "UNDO"}

    @classmethod
    def poll(cls, context):
        return _streaming_object(context)

    def execute(self, context):
        connection = live.LIVE.connection(context.object)
        screen = context.screen
        if connection.recording is None:
            connection.start_recording(context.scene)
            if screen is not None and not screen.is_animation_playing:
                bpy.ops.screen.animation_play()
        else:
            if screen is not None and screen.is_animation_playing:
                bpy.ops.screen.animation_cancel(restore_frame=False)
            action = connection.stop_recording(context.scene)
            if action is not None:
                self.report({"INFO"}, "Recorded '%s'" % action.name)
        return {"FINISHED"}


def _active_armature(context):
    armature = context.object
    return armature if armature is not None and armature.type == "ARMATURE" else None


class TELMORALINK_OT_auto_map(bpy.types.Operator):
    """Map the rig's bones to the performer's by their names (presets for Mixamo, Rigify,
    Unreal, VRoid/VRM and Character Creator) and, where names fail, by the rig's hierarchy"""

    bl_idname = "telmoralink.auto_map"
    bl_label = "Auto-map"
    bl_options = {"REGISTER", "UNDO"}

    @classmethod
    def poll(cls, context):
        return _library_ready(cls) and _active_armature(context) is not None

    def execute(self, context):
        armature = _active_armature(context)
        preset, mapped, filled = rig.auto_map(armature)
        armature.telmoralink.calibration_serial += 1  # the calibration meets the new map
        self.report({"INFO"}, "%s: %d of 65 bones mapped%s" % (
            preset, mapped, " (%d from the hierarchy)" % len(filled) if filled else ""))
        return {"FINISHED"}


class TELMORALINK_OT_calibrate(bpy.types.Operator):
    """Take the rig's current pose as the match of the performer's T-pose (pose an A-pose rig
    into a T-pose first)"""

    bl_idname = "telmoralink.calibrate"
    bl_label = "Calibrate"
    bl_options = {"REGISTER", "UNDO"}

    @classmethod
    def poll(cls, context):
        armature = _active_armature(context)
        return _library_ready(cls) and armature is not None and len(armature.telmoralink.bone_map)

    def execute(self, context):
        armature = _active_armature(context)
        try:
            follower = rig.calibrate(armature, context)
        except core.CoreError as error:
            self.report({"ERROR"}, str(error))
            return {"CANCELLED"}
        self.report({"INFO"}, "Calibrated: %d bones follow, hips scaled by %.3f" % (
            int(follower.mapped.sum()), follower.retarget.scale))
        return {"FINISHED"}


class TELMORALINK_OT_follow(bpy.types.Operator):
    """Stream the chosen subject onto the active (calibrated) rig"""

    bl_idname = "telmoralink.follow"
    bl_label = "Follow stream"
    bl_options = {"REGISTER"}

    @classmethod
    def poll(cls, context):
        armature = _active_armature(context)
        settings = getattr(context.scene, "telmoralink", None)
        return (_library_ready(cls) and armature is not None and
                armature.telmoralink.calibrated and settings is not None and
                _chosen_server(settings) is not None)

    def execute(self, context):
        settings = context.scene.telmoralink
        armature = _active_armature(context)
        server = _chosen_server(settings)
        armature.telmoralink.server = server["name"]
        armature.telmoralink.subject = settings.subject_name
        try:
            live.LIVE.connect(armature, server, settings.subject_name)
        except core.CoreError as error:
            self.report({"ERROR"}, str(error))
            return {"CANCELLED"}
        return {"FINISHED"}


class TELMORALINK_OT_export_map(bpy.types.Operator, ExportHelper):
    """Write the rig's bone map to a JSON file a team can share"""

    bl_idname = "telmoralink.export_map"
    bl_label = "Export bone map"
    filename_ext = ".json"
    filter_glob: bpy.props.StringProperty(default="*.json", options={"HIDDEN"})

    @classmethod
    def poll(cls, context):
        armature = _active_armature(context)
        return armature is not None and len(armature.telmoralink.bone_map) > 0

    def execute(self, context):
        rig.export_map(_active_armature(context), self.filepath)
        return {"FINISHED"}


class TELMORALINK_OT_import_map(bpy.types.Operator, ImportHelper):
    """Read a bone map from a JSON file onto the rig"""

    bl_idname = "telmoralink.import_map"
    bl_label = "Import bone map"
    bl_options = {"REGISTER", "UNDO"}
    filename_ext = ".json"
    filter_glob: bpy.props.StringProperty(default="*.json", options={"HIDDEN"})

    @classmethod
    def poll(cls, context):
        return _active_armature(context) is not None

    def execute(self, context):
        armature = _active_armature(context)
        try:
            mapped, missing = rig.import_map(armature, self.filepath)
        except (OSError, ValueError) as error:
            self.report({"ERROR"}, str(error))
            return {"CANCELLED"}
        armature.telmoralink.calibration_serial += 1  # the calibration meets the new map
        self.report({"WARNING"} if missing else {"INFO"}, "%d bones mapped%s" % (
            mapped, "; the rig has none of " + ", ".join(missing) if missing else ""))
        return {"FINISHED"}


class TELMORALINK_OT_import_capture(bpy.types.Operator, ImportHelper):
    """Bake a captured stream (pcap or pcapng) onto the active armature at the scene's frame
    rate"""

    bl_idname = "telmoralink.import_capture"
    bl_label = "Import capture"
    bl_options = {"REGISTER", "UNDO"}
    filename_ext = ".pcap"
    filter_glob: bpy.props.StringProperty(default="*.pcap;*.pcapng", options={"HIDDEN"})
    server: bpy.props.StringProperty(name="Server", description="Empty: any")
    subject: bpy.props.StringProperty(name="Subject", description="Empty: the longest stream")

    @classmethod
    def poll(cls, context):
        if not _library_ready(cls):
            return False
        if not core.captures_supported():
            if hasattr(cls, "poll_message_set"):
                cls.poll_message_set(_NO_CAPTURES)
            return False
        armature = _active_armature(context)
        if armature is None:
            return False
        if armature.telmoralink.bone_map:
            return armature.telmoralink.calibrated
        return rig.is_default_skeleton(armature)

    def execute(self, context):
        armature = _active_armature(context)
        manager = context.window_manager
        try:
            live.poser(armature)  # a rig that cannot take the pose says so before the reading
            capture = core.Capture(self.filepath, self.server, self.subject)
        except core.CoreError as error:
            self.report({"ERROR"}, str(error))
            return {"CANCELLED"}
        manager.progress_begin(0, max(1, len(capture.times)))
        try:
            action = live.bake_capture(armature, capture, context.scene,
                                       lambda done, total: manager.progress_update(done))
        finally:
            manager.progress_end()
            capture.close()
        if action is None:
            self.report({"WARNING"}, "The capture's stream has no frame to key")
            return {"CANCELLED"}
        self.report({"INFO"}, "Imported %s / %s as '%s'" % (capture.server, capture.subject,
                                                           action.name))
        return {"FINISHED"}


_NO_CAPTURES = "This build cannot read captures (it has no pcap library)"


def _import_menu(self, context):
    if core.load_error() is None and not core.captures_supported():
        self.layout.label(text="TelmoraLink capture: " + _NO_CAPTURES)
    else:
        self.layout.operator("telmoralink.import_capture", text="TelmoraLink capture (.pcap)")


class TELMORALINK_UL_bone_map(bpy.types.UIList):
    """The rig's bone map: the performer's bone, and the rig's bone picked from its bones."""

    def draw_item(self, context, layout, data, item, icon, active_data, active_property,
                  index=0, flt_flag=0):
        split = layout.split(factor=0.45)
        split.label(text=item.source)
        split.prop_search(item, "target", data.id_data.data, "bones", text="")


def health_lines(connection):
    """The stream's health as the panel shows it, on two lines."""
    return live.health_lines(connection)


def health_line(connection):
    """The stream's health on one line (for reports and logs)."""
    return " \u00b7 ".join(line for line in health_lines(connection) if line)


class TELMORALINK_PT_panel(bpy.types.Panel):
    bl_label = "TelmoraLink"
    bl_idname = "TELMORALINK_PT_panel"
    bl_space_type = "VIEW_3D"
    bl_region_type = "UI"
    bl_category = "TelmoraLink"

    def draw(self, context):
        layout = self.layout
        error = core.load_error()
        if error:
            layout.label(text=error, icon="ERROR")
            return
        settings = context.scene.telmoralink
        prefs = preferences(context)
        split = layout.split(factor=0.33)
        split.label(text="Port")
        row = split.row(align=True)
        if prefs is not None:
            row.prop(prefs, "port", text="")
        row.operator("telmoralink.connect")
        port = _port(context)
        if not live.LIVE.discoveries.listening():
            layout.label(text="Port %d is in use" % live.LIVE.discoveries.port, icon="ERROR")
        elif not live.LIVE.discoveries.running:
            layout.label(text="Not listening", icon="INFO")
        elif live.LIVE.discoveries.port != port:
            layout.label(text="Listening on %d" % live.LIVE.discoveries.port, icon="INFO")
        for name, label in (("source", "Source"), ("subject", "Subject")):
            split = layout.split(factor=0.33)
            split.label(text=label)
            split.prop(settings, name, text="")
        layout.operator("telmoralink.create_armature", icon="ARMATURE_DATA")
        armature = context.object
        connection = live.LIVE.connection(armature)
        if connection is not None:
            box = layout.box()
            box.label(text=armature.name, icon="OUTLINER_OB_ARMATURE")
            box.label(text="%s / %s" % (connection.server["name"], connection.subject))
            row = box.row()
            row.prop(armature.telmoralink, "live")
            row.operator("telmoralink.record",
                         text="Stop" if connection.recording else "Record", icon="REC")
            first, second = health_lines(connection)
            box.label(text=first, icon="ERROR" if first.startswith("No frames") else "NONE")
            box.label(text=second)
            box.operator("telmoralink.disconnect")


def _auto_connect():
    prefs = preferences()
    if prefs is not None and prefs.auto_connect and core.load_error() is None:
        live.LIVE.start_discovery(prefs.port)
    return None


class TELMORALINK_PT_rig(bpy.types.Panel):
    """The active armature as a rig following the performer: its bone map, its calibration,
    how its root and feet move."""

    bl_label = "Rig"
    bl_idname = "TELMORALINK_PT_rig"
    bl_space_type = "VIEW_3D"
    bl_region_type = "UI"
    bl_category = "TelmoraLink"
    bl_parent_id = "TELMORALINK_PT_panel"

    @classmethod
    def poll(cls, context):
        return core.load_error() is None and _active_armature(context) is not None

    def draw(self, context):
        layout = self.layout
        armature = _active_armature(context)
        settings = armature.telmoralink
        row = layout.row(align=True)
        row.operator("telmoralink.auto_map")
        row.operator("telmoralink.import_map", text="", icon="IMPORT")
        row.operator("telmoralink.export_map", text="", icon="EXPORT")
        if settings.bone_map:
            mapped = sum(1 for pair in settings.bone_map if pair.target)
            layout.label(text="%s: %d mapped" % (settings.preset or "By hand", mapped))
            layout.template_list("TELMORALINK_UL_bone_map", "", settings, "bone_map", settings,
                                 "bone_map_index", rows=4)
        layout.operator("telmoralink.calibrate",
                        icon="CHECKMARK" if settings.calibrated else "NONE")
        layout.prop(settings, "root_motion")
        layout.prop(settings, "foot_planting")
        layout.operator("telmoralink.follow", icon="LINKED")
        layout.operator("telmoralink.import_capture", icon="IMPORT")


@persistent
def _stop_on_load(_):
    # A file being closed takes its armatures' streams with it.
    live.LIVE.stop()


@persistent
def _auto_connect_on_load(_):
    _auto_connect()


_classes = (TelmoraLinkPreferences, TelmoraLinkSettings, TelmoraLinkBonePair,
            TelmoraLinkArmature, TELMORALINK_OT_connect, TELMORALINK_OT_create_armature,
            TELMORALINK_OT_disconnect, TELMORALINK_OT_record, TELMORALINK_OT_auto_map,
            TELMORALINK_OT_calibrate, TELMORALINK_OT_follow, TELMORALINK_OT_export_map,
            TELMORALINK_OT_import_map, TELMORALINK_OT_import_capture, TELMORALINK_UL_bone_map,
            TELMORALINK_PT_panel, TELMORALINK_PT_rig)


def register():
    for cls in _classes:
        bpy.utils.register_class(cls)
    bpy.types.Scene.telmoralink = bpy.props.PointerProperty(type=TelmoraLinkSettings)
    bpy.types.Object.telmoralink = bpy.props.PointerProperty(type=TelmoraLinkArmature)
    bpy.app.handlers.load_pre.append(_stop_on_load)
    bpy.app.handlers.load_post.append(_auto_connect_on_load)
    bpy.types.TOPBAR_MT_file_import.append(_import_menu)
    # The preferences are there once registration is over.
    bpy.app.timers.register(_auto_connect, first_interval=0.0)
    # Quitting Blender unregisters nothing: the streams stop on the way out.
    atexit.register(live.LIVE.stop)


def unregister():
    for timer in (live.timer, _auto_connect):
        if bpy.app.timers.is_registered(timer):
            bpy.app.timers.unregister(timer)
    for handlers, handler in ((bpy.app.handlers.load_pre, _stop_on_load),
                              (bpy.app.handlers.load_post, _auto_connect_on_load)):
        if handler in handlers:
            handlers.remove(handler)
    bpy.types.TOPBAR_MT_file_import.remove(_import_menu)
    atexit.unregister(live.LIVE.stop)
    live.LIVE.stop()
    del bpy.types.Object.telmoralink
    del bpy.types.Scene.telmoralink
    for cls in reversed(_classes):
        bpy.utils.unregister_class(cls)
