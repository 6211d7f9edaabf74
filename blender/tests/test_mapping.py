"""The bone mapping on its own (no Blender): each preset's names found in rigs that spell them
their own way, the best preset picked, and the hierarchy filling in where names say nothing."""

import importlib.util
import os

import pytest

ADDON = os.path.join(os.environ["PYTHONPATH"].split(os.pathsep)[0], "telmoralink")
found = importlib.util.spec_from_file_location("telmora_mapping",
                                              os.path.join(ADDON, "mapping.py"))
mapping = importlib.util.module_from_spec(found)
found.loader.exec_module(mapping)


@pytest.mark.parametrize("preset, spell", [
    ("Default skeleton (Mixamo)", lambda n: "mixamorig:" + n),
    ("Default skeleton (Mixamo)", lambda n: n.lower()),
    ("Rigify", lambda n: "DEF-" + n),
    ("Rigify", lambda n: n),
    ("Unreal mannequin (UE4)", lambda n: n),
    ("Unreal mannequin (UE5)", lambda n: n.upper()),
    ("VRoid / VRM", lambda n: n),
    ("Character Creator / ActorCore", lambda n: n),
])
def test_each_preset_is_picked_and_maps_every_bone_it_names(preset, spell):
    rig = [spell(name) for name in mapping.PRESETS[preset].values()] + ["root", "prop_sword"]
    picked, mapped = mapping.best_preset(rig)
    assert picked == preset
    assert {k: v for k, v in mapped.items()} == {
        ours: spell(theirs) for ours, theirs in mapping.PRESETS[preset].items()}


@pytest.mark.parametrize("name, side", [
    ("LeftArm", "L"), ("upper_arm.L", "L"), ("thigh_l", "L"), ("l_hand", "L"),
    ("J_Bip_R_Foot", "R"), ("CC_Base_R_Calf", "R"), ("Hand Right", "R"), ("spine.001", ""),
])
def test_sides_are_told_apart_whatever_their_spelling(name, side):
    assert mapping.normalised(name)[0] == side


def test_the_hierarchy_fills_what_names_fail():
    # The default skeleton's shape under names that say nothing: b0, b1, ...
    skeleton = [("Hips", None, (0, 0, 95)), ("Spine", 0, (0, 0, 106)), ("Spine1", 1, (0, 0, 119)),
                ("Spine2", 2, (0, 0, 133)), ("Neck", 3, (0, 0, 150)), ("Head", 4, (0, 0, 156)),
                ("LeftShoulder", 3, (8, 0, 148)), ("LeftArm", 6, (20, 0, 148)),
                ("LeftForeArm", 7, (45, 0, 148)), ("LeftHand", 8, (69, 0, 148)),
                ("RightShoulder", 3, (-8, 0, 148)), ("RightArm", 10, (-20, 0, 148)),
                ("RightForeArm", 11, (-45, 0, 148)), ("RightHand", 12, (-69, 0, 148)),
                ("LeftUpLeg", 0, (13, 0, 89)), ("LeftLeg", 14, (13, 0, 48)),
                ("LeftFoot", 15, (13, 0, 12)), ("LeftToeBase", 16, (14, -11, 1)),
                ("RightUpLeg", 0, (-13, 0, 89)), ("RightLeg", 18, (-13, 0, 48)),
                ("RightFoot", 19, (-13, 0, 12)), ("RightToeBase", 20, (-14, -11, 1))]
    names = ["b%d" % i for i in range(len(skeleton))]
    parents = [None if p is None else names[p] for _, p, _ in skeleton]
    heads = [tuple(v / 100.0 for v in head) for _, _, head in skeleton]
    _, mapped, filled = mapping.auto_map(names, parents, heads)
    assert mapped == {ours: names[i] for i, (ours, _, _) in enumerate(skeleton)}
    assert set(filled) == set(mapped)
