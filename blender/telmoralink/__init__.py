"""TelmoraLink for Blender: a Telmora motion-capture stream live on an armature, on the
plug-in's own motion core and network layer (the module telmoralink_core beside this file).

The "TelmoraLink" tab of the 3-D view's sidebar: the listening port with Connect, the servers
heard and the chosen server's subjects, Create armature, Live, Record and the stream's health.
"""

bl_info = {
    "name": "TelmoraLink",
    "author": "TelmoraLink",
    "version": (0, 2, 0),
    "blender": (3, 4, 0),
    "location": "View3D > Sidebar > TelmoraLink",
    "description": "Live Telmora motion capture on an armature, recorded as quaternion keys",
    "category": "Animation",
}

import atexit

import bpy
from bpy.app.handlers import persistent

from . import live

_NOTHING = "(none)"


def _source_items(self, context):
    items = [(_NOTHING, _NOTHING, "")]
    names = []
    for server in live.LIVE.discoveries.servers(self.port):
        if server["name"] not in names:
            names.append(server["name"])
    # The choice stays listed while its server is silent, so it is kept by name.
    if self.source_name and self.source_name not in names:
        names.append(self.source_name)
    items += [(name, name, "") for name in names]
    _source_items.cache = items  # Blender needs the strings kept alive
    return items


def _subject_items(self, context):
    items = [(_NOTHING, _NOTHING, "")]
    subjects = []
    for server in live.LIVE.discoveries.servers(self.port):
        if server["name"] == self.source_name:
            subjects += [s for s in server["subjects"] if s not in subjects]
    if self.subject_name and self.subject_name not in subjects:
        subjects.append(self.subject_name)
    items += [(name, name, "") for name in subjects]
    _subject_items.cache = items
    return items


def _source_changed(self, context):
    self.source_name = "" if self.source == _NOTHING else self.source


def _subject_changed(self, context):
    self.subject_name = "" if self.subject == _NOTHING else self.subject


class TelmoraLinkSettings(bpy.types.PropertyGroup):
    """The panel's choices, per scene."""

    port: bpy.props.IntProperty(name="Listening Port", default=22000, min=1, max=65535)
    source: bpy.props.EnumProperty(name="Source", items=_source_items, update=_source_changed)
    subject: bpy.props.EnumProperty(name="Subject", items=_subject_items,
                                    update=_subject_changed)
    source_name: bpy.props.StringProperty()
    subject_name: bpy.props.StringProperty()


class TelmoraLinkArmature(bpy.types.PropertyGroup):
    """What an armature made by the add-on streams."""

    server: bpy.props.StringProperty()
    subject: bpy.props.StringProperty()
    live: bpy.props.BoolProperty(name="Live", default=True)
    connection: bpy.props.StringProperty()  # the key of its stream in the add-on


def _chosen_server(settings):
    for server in live.LIVE.discoveries.servers(settings.port):
        if server["name"] == settings.source_name and settings.subject_name in server["subjects"]:
            return server
    return None


class TELMORALINK_OT_connect(bpy.types.Operator):
    """Listen for servers on the port"""

    bl_idname = "telmoralink.connect"
    bl_label = "Connect"

    def execute(self, context):
        live.LIVE.discoveries.restart(context.scene.telmoralink.port)
        return {"FINISHED"}


class TELMORALINK_OT_create_armature(bpy.types.Operator):
    """A 65-bone armature of the default skeleton, streaming the chosen subject"""

    bl_idname = "telmoralink.create_armature"
    bl_label = "Create armature"

    def execute(self, context):
        settings = context.scene.telmoralink
        server = _chosen_server(settings)
        if server is None:
            self.report({"ERROR"}, "Choose a source and one of its subjects first")
            return {"CANCELLED"}
        armature = live.create_armature(settings.subject_name, context)
        armature.telmoralink.server = server["name"]
        armature.telmoralink.subject = settings.subject_name
        live.LIVE.connect(armature, server, settings.subject_name)
        return {"FINISHED"}


class TELMORALINK_OT_disconnect(bpy.types.Operator):
    """Stop the armature's stream"""

    bl_idname = "telmoralink.disconnect"
    bl_label = "Disconnect"

    def execute(self, context):
        if context.object is not None:
            live.LIVE.disconnect(context.object)
        return {"FINISHED"}


class TELMORALINK_OT_record(bpy.types.Operator):
    """Record the armature's stream on the timeline (starts playback); again to stop"""

    bl_idname = "telmoralink.record"
    bl_label = "Record"

    def execute(self, context):
        connection = live.LIVE.connection(context.object)
        if connection is None:
            self.report({"ERROR"}, "The active object streams nothing")
            return {"CANCELLED"}
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


def health_line(connection):
    """The stream's health as the panel shows it."""
    if connection is None:
        return "Not streaming"
    health = connection.stream.health()
    if health["stale"]:
        return "No frames for %.1f s" % health["last_frame_age"]
    return "%.0f Hz \u00b7 last frame %.0f ms ago \u00b7 %d refused \u00b7 %d gaps" % (
        health["rate_hz"], health["last_frame_age"] * 1000.0, health["refused"], health["gaps"])


class TELMORALINK_PT_panel(bpy.types.Panel):
    bl_label = "TelmoraLink"
    bl_idname = "TELMORALINK_PT_panel"
    bl_space_type = "VIEW_3D"
    bl_region_type = "UI"
    bl_category = "TelmoraLink"

    def draw(self, context):
        settings = context.scene.telmoralink
        layout = self.layout
        row = layout.row()
        row.prop(settings, "port")
        row.operator("telmoralink.connect")
        if not live.LIVE.discoveries.listening(settings.port):
            layout.label(text="Port %d is in use" % settings.port, icon="ERROR")
        layout.prop(settings, "source")
        layout.prop(settings, "subject")
        layout.operator("telmoralink.create_armature")
        armature = context.object
        connection = live.LIVE.connection(armature)
        if connection is not None:
            box = layout.box()
            box.label(text="%s: %s / %s" % (armature.name, connection.server["name"],
                                            connection.subject))
            row = box.row()
            row.prop(armature.telmoralink, "live")
            row.operator("telmoralink.record",
                         text="Stop recording" if connection.recording else "Record",
                         icon="REC")
            box.label(text=health_line(connection))
            box.operator("telmoralink.disconnect")


@persistent
def _stop_on_load(_):
    # A file being closed takes its armatures' streams with it.
    live.LIVE.stop()


_classes = (TelmoraLinkSettings, TelmoraLinkArmature, TELMORALINK_OT_connect,
            TELMORALINK_OT_create_armature, TELMORALINK_OT_disconnect, TELMORALINK_OT_record,
            TELMORALINK_PT_panel)


def register():
    for cls in _classes:
        bpy.utils.register_class(cls)
    bpy.types.Scene.telmoralink = bpy.props.PointerProperty(type=TelmoraLinkSettings)
    bpy.types.Object.telmoralink = bpy.props.PointerProperty(type=TelmoraLinkArmature)
    bpy.app.handlers.load_pre.append(_stop_on_load)
    bpy.app.timers.register(live.timer, first_interval=live.TICK_SECONDS, persistent=True)
    # Quitting Blender unregisters nothing: the streams stop on the way out.
    atexit.register(live.LIVE.stop)


def unregister():
    if bpy.app.timers.is_registered(live.timer):
        bpy.app.timers.unregister(live.timer)
    if _stop_on_load in bpy.app.handlers.load_pre:
        bpy.app.handlers.load_pre.remove(_stop_on_load)
    atexit.unregister(live.LIVE.stop)
    live.LIVE.stop()
    del bpy.types.Object.telmoralink
    del bpy.types.Scene.telmoralink
    for cls in reversed(_classes):
        bpy.utils.unregister_class(cls)
