"""The add-on in Blender with a real window (under Xvfb), where Blender's own timers run as they
do for a user and nothing moves the mouse:

    BLENDER_USER_SCRIPTS=DIR xvfb-run -a blender --factory-startup --enable-event-simulate \\
        --python window_test.py -- ADDON_ZIP SIM_SERVER OUT_DIR

The zip is installed and enabled as a user does it, the sidebar's TelmoraLink tab opened,
Connect, source and subject chosen, Create armature; then the sender is paused and resumed and
the panel's own draws are watched: what they drew and when. The creation is undone at the end.
Events are simulated (--enable-event-simulate, so none of the display's reach Blender) only to
turn the sidebar to the TelmoraLink tab.
Each check prints one line; a failed one ends Blender with status 1. Pictures of the sidebar
while streaming and while stale go to OUT_DIR."""

import os
import sys
import time
import traceback

import blf
import bpy

zip_path, sim_server, out_dir = sys.argv[sys.argv.index("--") + 1:][:3]
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
os.environ["TELMORA_SIM_SERVER"] = sim_server
os.makedirs(out_dir, exist_ok=True)

from conftest import DEADLINE, Sender, free_udp_port  # noqa: E402

# The sidebar's labels are drawn at 11 points at UI scale 1.0; a label and a box each keep
# about 10 pixels on either side.
LABEL_POINTS = 11
LABEL_MARGINS = 2 * 10 + 2 * 10

sender = None
drawn = []  # (time, first health line, second health line) of each draw of the panel
draws = [0]


def finish(status):
    if status != 0:
        try:  # what the window showed, for whoever looks into the failure
            window, area, _ = view3d()
            with bpy.context.temp_override(window=window, area=area):
                bpy.ops.screen.screenshot(filepath=os.path.join(out_dir, "failure.png"))
        except Exception:
            traceback.print_exc()
    if sender is not None:
        sender.stop()
    print("window_test: %s" % ("all checks passed" if status == 0 else "failed"), flush=True)
    sys.stdout.flush()
    os._exit(status)


def check(condition, what):
    print(("PASS  " if condition else "FAIL  ") + what, flush=True)
    if not condition:
        finish(1)


def view3d():
    window = bpy.context.window_manager.windows[0]
    area = next(a for a in window.screen.areas if a.type == "VIEW_3D")
    region = next(r for r in area.regions if r.type == "UI")
    return window, area, region


def override():
    window, area, region = view3d()
    return bpy.context.temp_override(window=window, area=area, region=region)


def text_width(text):
    blf.size(0, LABEL_POINTS * bpy.context.preferences.view.ui_scale)
    return blf.dimensions(0, text)[0]


def sidebar_picture(name):
    """The sidebar as it is on screen, cut from a screenshot of the window."""
    window, area, region = view3d()
    whole = os.path.join(out_dir, "window.png")
    with bpy.context.temp_override(window=window, area=area):
        bpy.ops.screen.screenshot(filepath=whole)
    image = bpy.data.images.load(whole)
    width, height = image.size
    pixels = list(image.pixels)
    left, bottom = region.x, region.y
    cut = bpy.data.images.new(name, region.width, region.height, alpha=True)
    rows = []
    for row in range(region.height):
        start = ((bottom + row) * width + left) * 4
        rows.extend(pixels[start:start + region.width * 4])
    cut.pixels = rows
    cut.filepath_raw = os.path.join(out_dir, name)
    cut.file_format = "PNG"
    cut.save()
    bpy.data.images.remove(image)
    bpy.data.images.remove(cut)
    os.remove(whole)


def wait(condition, deadline=DEADLINE):
    """Yields (letting Blender run) until condition() holds or the deadline passes; the
    outcome is in the last value yielded... here returned through a one-element list."""
    end = time.monotonic() + deadline
    while not condition():
        if time.monotonic() > end:
            return False
        yield
    return True


def steps():
    global sender
    check(bpy.ops.preferences.addon_install(filepath=zip_path, overwrite=True) == {"FINISHED"},
          "the zip installs")
    check(bpy.ops.preferences.addon_enable(module="telmoralink") == {"FINISHED"},
          "and enables")
    import telmoralink
    from telmoralink import live

    # Every draw of the panel, with the health text it drew.
    def recording_lines(connection, lines=telmoralink.health_lines):
        texts = lines(connection)
        drawn.append((time.monotonic(),) + tuple(texts))
        return texts
    telmoralink.health_lines = recording_lines
    bpy.types.TELMORALINK_PT_panel.append(lambda panel, context: draws.__setitem__(0, draws[0] + 1))

    # The sidebar open on the TelmoraLink tab, as a user clicks it.
    window, area, region = view3d()
    area.spaces.active.show_region_ui = True
    area.tag_redraw()
    check((yield from wait(lambda: view3d()[2].width > 1)), "the sidebar opens")
    # Escape closes the splash screen; then clicks down the sidebar's strip of tabs (at its
    # right edge, right of the splash), as a user clicks, until the TelmoraLink tab is shown.
    # After that no event reaches the window.
    window, area, region = view3d()
    x = region.x + region.width - 10
    window.event_simulate(type="MOUSEMOVE", value="NOTHING", x=x, y=region.y + region.height - 5)
    window.event_simulate(type="ESC", value="PRESS", x=x, y=region.y + region.height - 5)
    window.event_simulate(type="ESC", value="RELEASE", x=x, y=region.y + region.height - 5)
    yield
    for y in range(region.y + region.height - 10, region.y + region.height // 2, -12):
        if draws[0] > 0:
            break
        window.event_simulate(type="MOUSEMOVE", value="NOTHING", x=x, y=y)
        window.event_simulate(type="LEFTMOUSE", value="PRESS", x=x, y=y)
        window.event_simulate(type="LEFTMOUSE", value="RELEASE", x=x, y=y)
        yield from wait(lambda: draws[0] > 0, deadline=0.1)
    check(draws[0] > 0, "the TelmoraLink tab is drawn")

    sender = Sender(free_udp_port(), name="Window Walk", rate=120)
    telmoralink.preferences().port = sender.port
    with override():
        check(bpy.ops.telmoralink.connect() == {"FINISHED"}, "Connect")
    check((yield from wait(lambda: any(s["name"] == sender.name
                                       for s in live.LIVE.discoveries.servers()))),
          "the sender is heard")
    settings = bpy.context.scene.telmoralink
    settings.source = sender.name
    settings.subject = "walk"
    with override():
        # As a button runs it: an undo step pushed after it.
        check(bpy.ops.telmoralink.create_armature("EXEC_DEFAULT", True) == {"FINISHED"},
              "Create armature")
    armature = bpy.context.view_layer.objects.active
    check(armature is not None and armature.name == "walk" and armature.select_get(),
          "the new armature is selected and active: its box is in the sidebar")
    check((yield from wait(lambda: drawn and drawn[-1][1].endswith("ms ago"))),
          "the panel draws the live stream: '%s' / '%s'" % (drawn[-1][1:] if drawn else ("", "")))
    root = armature.pose.bones["Hips"]
    moved_from = tuple(root.location)
    check((yield from wait(lambda: tuple(root.location) != moved_from)),
          "the armature moves with nobody touching anything")

    # What the panel says fits the default sidebar at UI scale 1.0.
    width = view3d()[2].width
    texts = [drawn[-1][1], drawn[-1][2], "%s / %s" % (sender.name, "walk"), armature.name]
    widest = max(texts, key=text_width)
    check(text_width(widest) <= width - LABEL_MARGINS,
          "the texts fit the %d-pixel sidebar (widest '%s', %.0f px)" % (
              width, widest, text_width(widest)))
    sidebar_picture("blender_sidebar_streaming.png")

    # A stall, and nobody moves the mouse: the panel is redrawn with the stale text.
    started = len(drawn)
    sender.pause()
    paused_at = time.monotonic()
    check((yield from wait(lambda: any(t[1].startswith("No frames for")
                                       for t in drawn[started:]), deadline=2.0)),
          "the panel draws the stall")
    stale_at, first, second = next(t for t in drawn[started:] if t[1].startswith("No frames"))
    check(stale_at - paused_at <= 0.5,
          "within 0.5 s of the stall (%.2f s, '%s')" % (stale_at - paused_at, first))
    shown = len(drawn)
    yield from wait(lambda: False, deadline=1.0)  # a second of the stall, watched
    ages = [t[1] for t in drawn[shown:]]
    check(len(ages) >= 2 and len(ages) <= 12 and ages[-1] != ages[0],
          "the stall's age goes on being drawn, a few times a second (%d draws in 1 s)" % len(ages))
    sidebar_picture("blender_sidebar_stale.png")
    sender.resume()
    started = len(drawn)
    check((yield from wait(lambda: any(t[1].endswith("ms ago") for t in drawn[started:]))),
          "frames back: the panel draws the live stream again")

    # Undoing the creation takes the armature and its stream away.
    key = armature.telmoralink.connection
    with override():
        bpy.ops.ed.undo()
    check((yield from wait(lambda: key not in live.LIVE.connections)),
          "undoing Create armature closes its stream")
    check("walk" not in bpy.data.objects, "and the armature is gone")
    finish(0)


runner = steps()


def run():
    try:
        next(runner)
    except StopIteration:
        finish(0)
    except Exception:
        traceback.print_exc()
        finish(1)
    return 0.01


bpy.app.timers.register(run, first_interval=0.5)
