"""Which bone of a user's rig follows which bone of the default skeleton: presets for the naming
conventions users bring, the auto-detection that picks the best of them, and the rig's
hierarchy filling in where names fail. Pure Python over names, parents and positions, so it is
tested without Blender as well as in it.

Names are compared after normalising: case, separators and namespaces ("mixamorig:") do not
count, nor do the side spellings Left/L/.L/_l/l_ (the side is kept apart and must agree)."""

import re

# The default skeleton's bones that the presets name, in its own terms (Mixamo's names).
_SPINE = ["Hips", "Spine", "Spine1", "Spine2", "Neck", "Head"]
_ARM = ["Shoulder", "Arm", "ForeArm", "Hand"]
_LEG = ["UpLeg", "Leg", "Foot", "ToeBase"]
_FINGERS = ["Thumb", "Index", "Middle", "Ring", "Pinky"]


def _sided(table):
    """Expands {our suffix: their name with {s} for the side} to both sides."""
    out = {}
    for ours, theirs in table.items():
        out["Left" + ours] = theirs.format(s="L", side="Left", lower="l")
        out["Right" + ours] = theirs.format(s="R", side="Right", lower="r")
    return out


def _fingers(pattern, names=None, joints=(1, 2, 3)):
    """{HandThumb1: ...} for both sides; pattern takes {finger} and {n} besides the side."""
    names = names or {f: f for f in _FINGERS}
    table = {}
    for finger in _FINGERS:
        for n in joints:
            table["Hand%s%d" % (finger, n)] = pattern.replace("{finger}", names[finger]) \
                .replace("{n}", str(n))
    return _sided(table)


def _preset(spine, limbs, finger_pattern, finger_names=None):
    """A preset from the rig's names of our spine (Hips to Head), of an arm and a leg (Shoulder,
    Arm, ForeArm, Hand, UpLeg, Leg, Foot, ToeBase, with {s}, {side} or {lower} for the side) and
    the pattern of its finger joints."""
    names = dict(zip(_SPINE, spine))
    names.update(_sided(dict(zip(_ARM + _LEG, limbs))))
    names.update(_fingers(finger_pattern, finger_names))
    return names


def _rigify_preset():
    names = _preset(["spine", "spine.001", "spine.002", "spine.003", "spine.004", "spine.006"],
                    ["shoulder.{s}", "upper_arm.{s}", "forearm.{s}", "hand.{s}", "thigh.{s}",
                     "shin.{s}", "foot.{s}", "toe.{s}"],
                    "f_{finger}.0{n}.{s}", {f: f.lower() for f in _FINGERS})
    # The thumb has no f_ prefix.
    names.update(_sided({"HandThumb%d" % n: "thumb.0%d.{s}" % n for n in (1, 2, 3)}))
    return names


def _unreal_preset(spines):
    return _preset(["pelvis"] + spines + ["neck_01", "head"],
                   ["clavicle_{lower}", "upperarm_{lower}", "lowerarm_{lower}", "hand_{lower}",
                    "thigh_{lower}", "calf_{lower}", "foot_{lower}", "ball_{lower}"],
                   "{finger}_0{n}_{lower}", {f: f.lower() for f in _FINGERS})


# Each preset: its name as the panel lists it, and our bone -> the rig's bone.
PRESETS = {
    "Default skeleton (Mixamo)": _preset(
        _SPINE, ["{side}" + part for part in _ARM + _LEG], "{side}Hand{finger}{n}"),
    "Rigify": _rigify_preset(),
    "Unreal mannequin (UE4)": _unreal_preset(["spine_01", "spine_02", "spine_03"]),
    "Unreal mannequin (UE5)": _unreal_preset(["spine_01", "spine_03", "spine_05"]),
    "VRoid / VRM": _preset(
        ["J_Bip_C_Hips", "J_Bip_C_Spine", "J_Bip_C_Chest", "J_Bip_C_UpperChest", "J_Bip_C_Neck",
         "J_Bip_C_Head"],
        ["J_Bip_{s}_Shoulder", "J_Bip_{s}_UpperArm", "J_Bip_{s}_LowerArm", "J_Bip_{s}_Hand",
         "J_Bip_{s}_UpperLeg", "J_Bip_{s}_LowerLeg", "J_Bip_{s}_Foot", "J_Bip_{s}_ToeBase"],
        "J_Bip_{s}_{finger}{n}", dict(zip(_FINGERS, ["Thumb", "Index", "Middle", "Ring",
                                                     "Little"]))),
    "Character Creator / ActorCore": _preset(
        ["CC_Base_Hip", "CC_Base_Waist", "CC_Base_Spine01", "CC_Base_Spine02",
         "CC_Base_NeckTwist01", "CC_Base_Head"],
        ["CC_Base_{s}_Clavicle", "CC_Base_{s}_Upperarm", "CC_Base_{s}_Forearm",
         "CC_Base_{s}_Hand", "CC_Base_{s}_Thigh", "CC_Base_{s}_Calf", "CC_Base_{s}_Foot",
         "CC_Base_{s}_ToeBase"],
        "CC_Base_{s}_{finger}{n}", dict(zip(_FINGERS, ["Thumb", "Index", "Mid", "Ring",
                                                       "Pinky"]))),
}

# Namespaces and prefixes that say nothing of the bone itself.
_PREFIXES = re.compile(r"^(.*:)?(def|org|mch)[-_.]|^.*:", re.IGNORECASE)
_SIDE_TOKENS = [
    (re.compile(r"(?i)^(left|right)"), 1), (re.compile(r"(?i)(left|right)$"), 1),
    (re.compile(r"(?i)[._ -]([lr])$"), 1), (re.compile(r"(?i)^([lr])[._ -]"), 1),
    (re.compile(r"(?i)[._ -]([lr])[._ -]"), 1), (re.compile(r"(?i)(left|right)"), 1),
]


def normalised(name):
    """(side, core) of a bone name: side "L", "R" or "" and the rest in lower case without
    separators or namespace."""
    name = _PREFIXES.sub("", name)
    side = ""
    for pattern, group in _SIDE_TOKENS:
        match = pattern.search(name)
        if match:
            side = match.group(group)[0].upper()
            name = name[:match.start(group)] + " " + name[match.end(group):]
            break
    core = re.sub(r"[^a-z0-9]", "", name.lower())
    return side, core


def preset_mapping(preset, rig_names):
    """Our bone -> rig bone for the names of `preset` found in the rig (normalised)."""
    index = {}
    for name in rig_names:
        index.setdefault(normalised(name), name)
    mapping = {}
    for ours, theirs in PRESETS[preset].items():
        found = index.get(normalised(theirs))
        if found is not None:
            mapping[ours] = found
    return mapping


def best_preset(rig_names):
    """(preset name, its mapping) of the preset whose names the rig has most of."""
    scored = [(len(preset_mapping(p, rig_names)), -i, p) for i, p in enumerate(PRESETS)]
    _, _, preset = max(scored)
    return preset, preset_mapping(preset, rig_names)


def _chain(start, children):
    """The bones from `start` down its first child each step."""
    chain = [start]
    while children.get(chain[-1]):
        chain.append(children[chain[-1]][0])
    return chain


def _spread(ours, chain, mapping, used):
    """Maps `ours` onto `chain` evenly, first to first and last to last, where not mapped."""
    if not chain:
        return
    for i, name in enumerate(ours):
        index = round(i * (len(chain) - 1) / max(1, len(ours) - 1))
        bone = chain[min(index, len(chain) - 1)]
        if name not in mapping and bone not in used:
            mapping[name] = bone
            used.add(bone)


def fill_from_hierarchy(mapping, names, parents, heads):
    """Fills what the names left out from the rig's shape: chains from the hips (the spine up
    to the head, two legs down, two arms out from the spine's top, five fingers a hand). World
    heads (x to the character's left, z up) tell up from down and left from right. Returns the
    bones it added."""
    children = {}
    for name, parent in zip(names, parents):
        children.setdefault(parent, []).append(name)
    position = dict(zip(names, heads))
    used = set(mapping.values())
    before = dict(mapping)

    def subtree_size(bone):
        return 1 + sum(subtree_size(c) for c in children.get(bone, []))

    hips = mapping.get("Hips")
    if hips is None:
        # The root's descendant where the tree first branches into three or more.
        roots = children.get(None, [])
        if not roots:
            return {}
        hips = max(roots, key=subtree_size)
        while len(children.get(hips, [])) == 1:
            hips = children[hips][0]
        mapping["Hips"] = hips
        used.add(hips)
    from_hips = children.get(hips, [])
    up = [c for c in from_hips if position[c][2] >= position[hips][2] - 1e-6]
    down = [c for c in from_hips if c not in up]
    if up:
        spine = _chain(max(up, key=subtree_size), children)
        # The spine's top: the first bone from which three chains leave (two arms and the neck).
        top = next((i for i, b in enumerate(spine) if len(children.get(b, [])) >= 3),
                   len(spine) - 1)
        _spread(["Spine", "Spine1", "Spine2"], spine[:top + 1], mapping, used)
        branches = children.get(spine[top], [])
        neck = [b for b in branches if b == (spine[top + 1] if top + 1 < len(spine) else None)]
        if neck:
            head_chain = _chain(neck[0], children)
            _spread(["Neck", "Head"], head_chain[:2], mapping, used)
        for side, sign in (("Left", 1), ("Right", -1)):
            arms = [b for b in branches if b not in neck and
                    sign * (position[b][0] - position[spine[top]][0]) > 0]
            if arms:
                arm = _chain(arms[0], children)
                _spread([side + p for p in _ARM], arm[:4], mapping, used)
                # The fingers from the front (-y, where a character faces) to the back: the
                # thumb, then index to little finger.
                fingers = sorted(children.get(mapping.get(side + "Hand"), []),
                                 key=lambda b: position[b][1])
                if len(fingers) >= 5:
                    for finger, bone in zip(_FINGERS, fingers):
                        _spread(["%sHand%s%d" % (side, finger, n) for n in (1, 2, 3)],
                                _chain(bone, children)[:3], mapping, used)
    for side, sign in (("Left", 1), ("Right", -1)):
        legs = [b for b in down if sign * (position[b][0] - position[hips][0]) > 0]
        if legs:
            _spread([side + p for p in _LEG], _chain(legs[0], children)[:4], mapping, used)
    return {k: v for k, v in mapping.items() if k not in before}


def auto_map(names, parents, heads):
    """(preset, mapping, filled): the best preset's names, then the hierarchy where they
    failed. `parents` holds each bone's parent name (None for a root); `heads` world positions."""
    preset, mapping = best_preset(names)
    filled = fill_from_hierarchy(mapping, names, parents, heads)
    return preset, mapping, filled
