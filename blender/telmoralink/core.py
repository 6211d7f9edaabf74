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
}

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


def _check(status):
    if status != 0:
        raise CoreError(_library.telmora_last_error().decode("utf-8", "replace"))


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
