"""The add-on's zip installed as a user installs it (Preferences > Add-ons > Install), enabled,
its panel and operators there, disabled again:

    BLENDER_USER_SCRIPTS=DIR blender -b --factory-startup --python-exit-code 1 \\
        --python install_test.py -- ADDON_ZIP
"""

import sys

import addon_utils
import bpy

zip_path = sys.argv[sys.argv.index("--") + 1]


def check(condition, what):
    print(("PASS  " if condition else "FAIL  ") + what, flush=True)
    if not condition:
        raise SystemExit(1)


check(bpy.ops.preferences.addon_install(filepath=zip_path, overwrite=True) == {"FINISHED"},
      "the zip installs")
check(bpy.ops.preferences.addon_enable(module="telmoralink") == {"FINISHED"}, "it enables")
check(hasattr(bpy.types, "TELMORALINK_PT_panel"), "its panel is registered")
check(bpy.ops.telmoralink.connect.poll(), "its operators are there")
loaded, enabled = addon_utils.check("telmoralink")
check(loaded and enabled, "Blender lists it as enabled")
check(bpy.ops.preferences.addon_disable(module="telmoralink") == {"FINISHED"}, "it disables")
check(not hasattr(bpy.types, "TELMORALINK_PT_panel"), "and its panel goes with it")
print("install_test: all checks passed", flush=True)
