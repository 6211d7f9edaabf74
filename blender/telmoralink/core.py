"""The C API of TelmoraLink's core (telmora.h), loaded with ctypes from the library beside this
file: libtelmora.so on Linux, telmora.dll on Windows. Nothing here needs Blender, and nothing
needs Python's headers: any Python 3 with numpy loads it.

The library is loaded once, on first use, and checked once (its API version); when it cannot
be, `load_error()` says why in one line and every use raises `CoreUnavailable` with that line.
Buffers cross as numpy arrays; no call here holds the interpreter's lock while it waits
(ctypes releases it around every foreign call)."""

import ctypes
import os
import sys

import numpy

API_VERSION = 1
BONE_COUNT = 65
DEFAULT_LISTEN_PORT = 22000

_LIBRARY_NAMES = {"win32": "telmora.dll", "darwin": "libtelmora.dylib"}


class CoreUnavailable(RuntimeError):
    """The library could not be loaded; the message says why."""


class CoreError(RuntimeError):
    """A call of the library failed; the message is the library's."""


class _Bone(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("parent", ctypes.c_int),
                ("rest_position", ctypes.c_double * 3)]


class _Server(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("ip", ctypes.c_char_p),
                ("stream_port", ctypes.c_int), ("subject_count", ctypes.c_int),
                ("subjects", ctypes.POINTER(ctypes.c_char_p))]


class _Health(ctypes.Structure):
    _fields_ = [("rate_hz", ctypes.c_double), ("last_frame_age", ctypes.c_double),
                ("any_frame", ctypes.c_int), ("stale", ctypes.c_int), ("ended", ctypes.c_int),
                ("frames", ctypes.c_uint64), ("refused", ctypes.c_uint64),
                ("gaps", ctypes.c_uint64), ("longest_gap", ctypes.c_double),
                ("stale_seconds", ctypes.c_double)]


_DOUBLES = numpy.ctypeslib.ndpointer(dtype=numpy.float64, flags="C_CONTIGUOUS")
_INTS = numpy.ctypeslib.ndpointer(dtype=numpy.intc, flags="C_CONTIGUOUS")
_HANDLE = ctypes.c_void_p
_STATUS = ctypes.c_int

# Each function's result and argument types, as telmora.h declares them.
_SIGNATURES = {
    "telmora_api_version": (ctypes.c_int, []),
    "telmora_version": (ctypes.c_char_p, []),
    "telmora_last_error": (ctypes.c_char_p, []),
    "telmora_skeleton_bone": (_STATUS, [ctypes.c_int, ctypes.POINTER(_Bone)]),
    "telmora_discovery_open": (_STATUS, [ctypes.c_int, ctypes.POINTER(_HANDLE)]),
    "telmora_discovery_close": (None, [_HANDLE]),
    "telmora_discovery_listening": (ctypes.c_int, [_HANDLE]),
    "telmora_discovery_servers": (_STATUS, [_HANDLE, ctypes.POINTER(_HANDLE)]),
    "telmora_server_list_count": (ctypes.c_int, [_HANDLE]),
    "telmora_server_list_get": (_STATUS, [_HANDLE, ctypes.c_int, ctypes.POINTER(_Server)]),
    "telmora_server_list_free": (None, [_HANDLE]),
    "telmora_stream_open": (_STATUS, [ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p,
                                      ctypes.POINTER(_HANDLE)]),
    "telmora_stream_close": (None, [_HANDLE]),
    "telmora_stream_health": (_STATUS, [_HANDLE, ctypes.POINTER(_Health)]),
    "telmora_stream_set_stale_seconds": (_STATUS, [_HANDLE, ctypes.c_double]),
    "telmora_stream_pose": (_STATUS, [_HANDLE, ctypes.POINTER(ctypes.c_uint64), _DOUBLES,
                                      _DOUBLES, ctypes.c_int]),
    "telmora_armature_pose": (_STATUS, [ctypes.c_int, _DOUBLES, _INTS, _DOUBLES, _DOUBLES,
                                        _DOUBLES, _DOUBLES]),
    "telmora_retarget_calibrate": (_STATUS, [ctypes.c_int, _INTS, _INTS, _DOUBLES, _DOUBLES,
                                             _DOUBLES, ctypes.POINTER(_HANDLE)]),
    "telmora_retarget_free": (None, [_HANDLE]),
    "telmora_retarget_scale": (ctypes.c_double, [_HANDLE]),
    "telmora_retarget_solve": (_STATUS, [_HANDLE, _DOUBLES, _DOUBLES, ctypes.c_int, ctypes.c_int,
                                         _DOUBLES, _DOUBLES, _DOUBLES]),
    "telmora_capture_supported": (ctypes.c_int, []),
    "telmora_capture_open": (_STATUS, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p,
                                       ctypes.POINTER(_HANDLE)]),
    "telmora_capture_close": (None, [_HANDLE]),
    "telmora_capture_server": (ctypes.c_char_p, [_HANDLE]),
    "telmora_capture_subject": (ctypes.c_char_p, [_HANDLE]),
    "telmora_capture_frame_count": (ctypes.c_int, [_HANDLE]),
    "telmora_capture_frame_times": (_STATUS, [_HANDLE, _DOUBLES, ctypes.c_int]),
    "telmora_capture_pose": (_STATUS, [_HANDLE, ctypes.c_int, _DOUBLES, _DOUBLES, ctypes.c_int]),
}

# Root motion choices of the retargeting, as telmora.h numbers them.
ROOT_FULL, ROOT_IN_PLACE, ROOT_OBJECT = 0, 1, 2

_library = None
_load_error = None


def library_path():
    """Where the library is looked for: beside this file."""
    name = _LIBRARY_NAMES.get(sys.platform, "libtelmora.so")
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), name)


def _load():
    global _library, _load_error
    if _library is not None or _load_error is not None:
        return
    path = library_path()
    try:
        library = ctypes.CDLL(path)
        for name, (result, arguments) in _SIGNATURES.items():
            function = getattr(library, name)
            function.restype = result
            function.argtypes = arguments
    except (OSError, AttributeError) as error:
        reason = str(error).replace("\n", " ") or type(error).__name__
        _load_error = "TelmoraLink's library cannot load (%s): %s" % (os.path.basename(path),
                                                                       reason)
        return
    version = library.telmora_api_version()
    if version != API_VERSION:
        _load_error = ("TelmoraLink's library speaks API version %d, this add-on %d: "
                       "reinstall the add-on" % (version, API_VERSION))
        return
    _library = library


def load_error():
    """Why the library cannot be used, in one line; None when it can."""
    _load()
    return _load_error


def _lib():
    _load()
    if _library is None:
        raise CoreUnavailable(_load_error)
    return _library


class CoreInputError(CoreError):
    """Input the library cannot use (a rig it cannot follow, a file that is no capture)."""


class CoreUnsupported(CoreError):
    """Not in this build of the library (reading captures without libpcap)."""


_INPUT, _UNSUPPORTED = 4, 5


def _check(status):
    if status != 0:
        message = _library.telmora_last_error().decode("utf-8", "replace")
        raise {_INPUT: CoreInputError, _UNSUPPORTED: CoreUnsupported}.get(status, CoreError)(
            message)


def version():
    return _lib().telmora_version().decode()


def default_skeleton():
    """The default skeleton: (name, parent index or -1, rest position in cm) per bone, parents
    first."""
    lib = _lib()
    bones = []
    bone = _Bone()
    for index in range(BONE_COUNT):
        _check(lib.telmora_skeleton_bone(index, ctypes.byref(bone)))
        bones.append((bone.name.decode(), bone.parent, tuple(bone.rest_position)))
    return bones


def armature_pose(rest_matrices, parents, translations, rotations):
    """Pose bones' (locations (bones x 3), rotation quaternions (bones x 4, w x y z)) that put
    each bone's head on its channel translation (cm, y up) and turn its rest frame by its
    channel rotation, as (x, -z, y) / 100 in Blender's axes. `rest_matrices` are the bones'
    Bone.matrix_local (bones x 4 x 4)."""
    lib = _lib()
    count = len(parents)
    rest = numpy.ascontiguousarray(rest_matrices, dtype=numpy.float64).reshape(-1)
    parents = numpy.ascontiguousarray(parents, dtype=numpy.intc)
    translations = numpy.ascontiguousarray(translations, dtype=numpy.float64).reshape(-1)
    rotations = numpy.ascontiguousarray(rotations, dtype=numpy.float64).reshape(-1)
    if rest.size != 16 * count or translations.size != 3 * count or rotations.size != 4 * count:
        raise ValueError("armature_pose: rest matrices (bones x 4 x 4), translations "
                         "(bones x 3) and rotations (bones x 4) must match the parents' count")
    locations = numpy.empty((count, 3))
    quaternions = numpy.empty((count, 4))
    _check(lib.telmora_armature_pose(count, rest, parents, translations, rotations, locations,
                                     quaternions))
    return locations, quaternions


class Discovery:
    """The Telmora servers announcing on a port, heard on the library's threads from the
    moment it is made until stop()."""

    def __init__(self, port=DEFAULT_LISTEN_PORT):
        lib = _lib()
        self._handle = _HANDLE()
        self.port = port
        _check(lib.telmora_discovery_open(port, ctypes.byref(self._handle)))

    @property
    def listening(self):
        return bool(self._handle) and bool(_library.telmora_discovery_listening(self._handle))

    def servers(self):
        """The servers heard: dicts of name, ip, stream_port and subjects, sorted by name and
        address."""
        if not self._handle:
            return []
        lib = _library
        listed = _HANDLE()
        _check(lib.telmora_discovery_servers(self._handle, ctypes.byref(listed)))
        try:
            servers = []
            server = _Server()
            for index in range(lib.telmora_server_list_count(listed)):
                _check(lib.telmora_server_list_get(listed, index, ctypes.byref(server)))
                servers.append({
                    "name": server.name.decode("utf-8", "replace"),
                    "ip": server.ip.decode(),
                    "stream_port": server.stream_port,
                    "subjects": [server.subjects[s].decode("utf-8", "replace")
                                 for s in range(server.subject_count)],
                })
            return servers
        finally:
            lib.telmora_server_list_free(listed)

    def stop(self):
        """Stops listening; waits for the library's threads (a few hundred ms at most)."""
        if self._handle:
            _library.telmora_discovery_close(self._handle)
            self._handle = _HANDLE()

    def __del__(self):
        if _library is not None:
            self.stop()


class Stream:
    """One subject's stream from one server, received on the library's threads."""

    def __init__(self):
        _lib()
        self._handle = _HANDLE()
        self._sequence = ctypes.c_uint64()
        self._health = _Health()

    def connect(self, ip, stream_port, subject):
        self.disconnect()
        _check(_library.telmora_stream_open(ip.encode(), stream_port, subject.encode("utf-8"),
                                            ctypes.byref(self._handle)))

    def disconnect(self):
        """Stops the stream; waits for the library's threads (a few receive waits at most)."""
        if self._handle:
            _library.telmora_stream_close(self._handle)
            self._handle = _HANDLE()

    @property
    def connected(self):
        return bool(self._handle)

    def set_stale_seconds(self, seconds):
        if self._handle:
            _check(_library.telmora_stream_set_stale_seconds(self._handle, seconds))

    def health(self):
        """rate_hz, last_frame_age (s), any_frame, stale, ended, frames, refused, gaps,
        longest_gap, stale_seconds; all zero while not connected."""
        health = self._health
        if self._handle:
            _check(_library.telmora_stream_health(self._handle, ctypes.byref(health)))
        else:
            health = _Health()
        return {name: (bool(getattr(health, name)) if kind is ctypes.c_int
                       else getattr(health, name)) for name, kind in _Health._fields_}

    def snapshot(self):
        """(sequence, translations (bones x 3, cm), rotations (bones x 4, w x y z)) of the
        latest frame, all of one frame; sequence 0 before the first."""
        translations = numpy.zeros((BONE_COUNT, 3))
        rotations = numpy.zeros((BONE_COUNT, 4))
        rotations[:, 0] = 1.0
        if not self._handle:
            return 0, translations, rotations
        _check(_library.telmora_stream_pose(self._handle, ctypes.byref(self._sequence),
                                            translations, rotations, BONE_COUNT))
        return self._sequence.value, translations, rotations

    def __del__(self):
        if _library is not None:
            self.disconnect()


class Retarget:
    """A rig calibrated to follow the performer (telmora_retarget_calibrate): per rig bone its
    parent, the default-skeleton bone it follows (-1: none), its rest matrix and its pose matrix
    at calibration (armature space, 4x4), and the object's world matrix. Raises CoreInputError
    naming what is missing when the rig cannot follow a performer."""

    def __init__(self, parents, sources, rest_matrices, calibration_poses, object_matrix):
        lib = _lib()
        self._handle = _HANDLE()
        self.bone_count = len(parents)
        _check(lib.telmora_retarget_calibrate(
            self.bone_count, numpy.ascontiguousarray(parents, dtype=numpy.intc),
            numpy.ascontiguousarray(sources, dtype=numpy.intc),
            numpy.ascontiguousarray(rest_matrices, dtype=numpy.float64).reshape(-1),
            numpy.ascontiguousarray(calibration_poses, dtype=numpy.float64).reshape(-1),
            numpy.ascontiguousarray(object_matrix, dtype=numpy.float64).reshape(-1),
            ctypes.byref(self._handle)))
        self.locations = numpy.empty((self.bone_count, 3))
        self.quaternions = numpy.empty((self.bone_count, 4))
        self.object_offset = numpy.zeros(3)

    @property
    def scale(self):
        return _library.telmora_retarget_scale(self._handle)

    def solve(self, translations, rotations, root_motion=ROOT_FULL, foot_planting=True):
        """(locations (bones x 3), quaternions (bones x 4, w x y z), object offset (3)) of the
        rig for one performer pose; the arrays are reused by the next solve."""
        _check(_library.telmora_retarget_solve(
            self._handle, numpy.ascontiguousarray(translations, dtype=numpy.float64).reshape(-1),
            numpy.ascontiguousarray(rotations, dtype=numpy.float64).reshape(-1), root_motion,
            1 if foot_planting else 0, self.locations, self.quaternions, self.object_offset))
        return self.locations, self.quaternions, self.object_offset

    def __del__(self):
        if _library is not None and self._handle:
            _library.telmora_retarget_free(self._handle)
            self._handle = _HANDLE()


def captures_supported():
    """Whether this build of the library reads capture files."""
    return bool(_lib().telmora_capture_supported())


class Capture:
    """One Telmora stream of a capture file (pcap or pcapng): its frames' times and, on
    demand, each frame's pose. Opening reads the whole file."""

    def __init__(self, path, server="", subject=""):
        lib = _lib()
        self._handle = _HANDLE()
        _check(lib.telmora_capture_open(os.fsencode(path), server.encode("utf-8"),
                                        subject.encode("utf-8"), ctypes.byref(self._handle)))
        self.server = lib.telmora_capture_server(self._handle).decode("utf-8", "replace")
        self.subject = lib.telmora_capture_subject(self._handle).decode("utf-8", "replace")
        count = lib.telmora_capture_frame_count(self._handle)
        self.times = numpy.empty(count)
        if count:
            _check(lib.telmora_capture_frame_times(self._handle, self.times, count))

    def pose(self, index):
        """(translations (bones x 3, cm), rotations (bones x 4)) of frame `index`; raises
        CoreInputError for a frame that cannot be solved."""
        translations = numpy.empty((BONE_COUNT, 3))
        rotations = numpy.empty((BONE_COUNT, 4))
        _check(_library.telmora_capture_pose(self._handle, index, translations, rotations,
                                             BONE_COUNT))
        return translations, rotations

    def close(self):
        if self._handle:
            _library.telmora_capture_close(self._handle)
            self._handle = _HANDLE()

    def __del__(self):
        if _library is not None:
            self.close()
