/* TelmoraLink's C API: discovery of Telmora servers, one subject's stream with its health, the
 * latest pose of the 65-bone default skeleton, and the armature pose a host such as Blender
 * needs, over the plug-in's own motion core and network layer. Plain C (C99), plain types, no
 * exceptions: every call that can fail returns a telmora_status and leaves a message for
 * telmora_last_error().
 *
 * Threads: the network and the solving run on the library's own threads. Every function may be
 * called from any thread; one handle is not to be closed on one thread while another uses it.
 * Only the functions marked "Waits" block, and none of them for longer than stated; all others
 * return at once (they copy what the library's threads last published).
 *
 * Units and axes: translations in centimetres, y up, as the channel table has them; rotations
 * as unit quaternions stored w, x, y, z. */
#ifndef TELMORA_H
#define TELMORA_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(TELMORA_CAPI_BUILDING)
#define TELMORA_API __declspec(dllexport)
#else
#define TELMORA_API __declspec(dllimport)
#endif
#else
#define TELMORA_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The version of this interface. A library whose telmora_api_version() differs from the header
 * a caller was built with may lay out the structs below differently: check it first. */
#define TELMORA_API_VERSION 1

/* The number of bones of the default skeleton, and of every pose. */
#define TELMORA_BONE_COUNT 65

typedef enum telmora_status {
    TELMORA_OK = 0,
    TELMORA_ERROR_ARGUMENT = 1,   /* a null pointer, a size too small, a value out of range */
    TELMORA_ERROR_NETWORK = 2,    /* a port that cannot be bound, an address that cannot be read */
    TELMORA_ERROR_INTERNAL = 3,   /* anything else (out of memory, a thread that cannot start) */
    TELMORA_ERROR_INPUT = 4,      /* a file that cannot be read, a rig that cannot be followed */
    TELMORA_ERROR_UNSUPPORTED = 5 /* not in this build (reading captures without libpcap) */
} telmora_status;

/* TELMORA_API_VERSION of the library. */
TELMORA_API int telmora_api_version(void);
/* The library's release, "0.3.0". Static text. */
TELMORA_API const char* telmora_version(void);
/* The message of the last call on this thread that did not return TELMORA_OK ("" before any).
 * Valid until the next call on this thread. */
TELMORA_API const char* telmora_last_error(void);

/* ---- The default skeleton ---- */

/* One bone: its name, its parent (-1 for the root; parents come before children) and its rest
 * position, global, in cm. `name` is static text. */
typedef struct telmora_bone {
    const char* name;
    int parent;
    double rest_position[3];
} telmora_bone;

/* Bone `index` (0 .. TELMORA_BONE_COUNT - 1) of the default skeleton into `*bone`. */
TELMORA_API telmora_status telmora_skeleton_bone(int index, telmora_bone* bone);

/* ---- Discovery ---- */

typedef struct telmora_discovery telmora_discovery;

/* Listens for announcements on `port` (1..65535) on every interface, on threads of its own.
 * A port that cannot be bound (in use) still gives a handle, whose telmora_discovery_listening()
 * says 0; the handle must be closed. */
TELMORA_API telmora_status telmora_discovery_open(int port, telmora_discovery** discovery);
/* Stops listening and frees the handle (null is ignored). Waits: until its threads have ended,
 * at most a few hundred milliseconds. */
TELMORA_API void telmora_discovery_close(telmora_discovery* discovery);
/* 1 while its port is bound, 0 when it could not be. */
TELMORA_API int telmora_discovery_listening(const telmora_discovery* discovery);

/* The servers heard, as one snapshot taken at the call. */
typedef struct telmora_server_list telmora_server_list;
typedef struct telmora_server {
    const char* name;            /* as announced: the name users pick */
    const char* ip;              /* the sender's IPv4 address, dotted decimal */
    int stream_port;             /* where keep-alives go */
    int subject_count;           /* the number of subjects it offers */
    const char* const* subjects; /* subject_count names, in the server's order */
} telmora_server;

/* The servers heard now, sorted by name and address. Free the list with
 * telmora_server_list_free. */
TELMORA_API telmora_status telmora_discovery_servers(const telmora_discovery* discovery,
                                                     telmora_server_list** list);
TELMORA_API int telmora_server_list_count(const telmora_server_list* list);
/* Server `index` of the list into `*server`; its texts stay valid until the list is freed. */
TELMORA_API telmora_status telmora_server_list_get(const telmora_server_list* list, int index,
                                                   telmora_server* server);
TELMORA_API void telmora_server_list_free(telmora_server_list* list);

/* ---- One subject's stream ---- */

typedef struct telmora_stream telmora_stream;

/* Asks `ip`:`stream_port` for `subject` with keep-alives and receives its frames on threads of
 * its own. Returns within a few milliseconds. */
TELMORA_API telmora_status telmora_stream_open(const char* ip, int stream_port, const char* subject,
                                               telmora_stream** stream);
/* Stops the stream and frees the handle (null is ignored). Waits: until its threads have
 * ended, at most a few receive waits (a few hundred milliseconds). */
TELMORA_API void telmora_stream_close(telmora_stream* stream);

/* How the stream is doing, all of one moment. */
typedef struct telmora_health {
    double rate_hz;        /* accepted frames a second over the last second */
    double last_frame_age; /* seconds since the last frame (or since the open, before one) */
    int any_frame;         /* 1 once a frame has been accepted */
    int stale;             /* 1 while silent for longer than the stale time */
    int ended;             /* 1 once the server said the stream ended (or the socket failed) */
    uint64_t frames;       /* frames accepted */
    uint64_t refused;      /* datagrams refused: not a frame, undecodable or from elsewhere */
    uint64_t gaps;         /* spans without frames longer than the stale time */
    double longest_gap;    /* seconds */
    double stale_seconds;  /* the stale time in use */
} telmora_health;

TELMORA_API telmora_status telmora_stream_health(const telmora_stream* stream,
                                                 telmora_health* health);
/* The stale time (default 0.25 s); a value that is not a positive finite number is refused. */
TELMORA_API telmora_status telmora_stream_set_stale_seconds(telmora_stream* stream, double seconds);
/* The latest pose, all of one frame: `*sequence` counts the frames published (0 before the
 * first, when the buffers hold the rest pose) and changes with every new one; per bone of the
 * default skeleton its global translation (cm, 3 doubles) into `translations` and its rotation
 * (w, x, y, z) into `rotations`. `bone_capacity` is the number of bones the buffers hold (at
 * least TELMORA_BONE_COUNT). */
TELMORA_API telmora_status telmora_stream_pose(const telmora_stream* stream, uint64_t* sequence,
                                               double* translations, double* rotations,
                                               int bone_capacity);

/* ---- The armature pose (Blender's terms) ---- */

/* Each pose bone's location (3 doubles) and rotation quaternion (w, x, y, z) in its own rest
 * frame, so that the bone's head lands on its channel's translation and its frame turns by its
 * channel's rotation. In: `bone_count` bones, each with its rest matrix in armature space
 * (row-major 4x4, metres, z up: Blender's Bone.matrix_local), its parent (-1 for a root, else a
 * bone before it) and its channel's global translation (cm, y up) and rotation (w, x, y, z).
 * A channel translation (x, y, z) cm is the Blender position (x, -z, y) / 100 m. */
TELMORA_API telmora_status telmora_armature_pose(int bone_count, const double* rest_matrices,
                                                 const int* parents, const double* translations,
                                                 const double* rotations, double* locations,
                                                 double* quaternions);

/* ---- Retargeting onto any rig ---- */

/* A rig calibrated to follow the performer. Each mapped rig bone follows the performer's
 * world-space change of rotation since the default skeleton's rest pose (a T-pose), starting
 * from the bone's pose at calibration; the hips move by the performer's hips motion scaled by
 * the rig's hips height (above its object's origin) over the performer's; with foot planting
 * each leg is solved as a two-bone chain so that the ankle lands on the performer's scaled
 * ankle, the knee bending towards the performer's knee. */
typedef struct telmora_retarget telmora_retarget;

typedef enum telmora_root_motion {
    TELMORA_ROOT_FULL = 0,     /* the hips travel */
    TELMORA_ROOT_IN_PLACE = 1, /* no travel over the floor; only the hips' height changes */
    TELMORA_ROOT_OBJECT = 2    /* as in place, the travel given out for the object to carry */
} telmora_root_motion;

/* Calibrates a rig of `bone_count` bones (parents before children): per bone its parent (-1
 * for a root), the default-skeleton bone it follows (-1 for none; each followed by one bone at
 * most), its rest matrix (Bone.matrix_local) and its pose matrix at calibration
 * (PoseBone.matrix), both armature space, row-major 4x4; and the armature object's world matrix.
 * TELMORA_ERROR_INPUT, with a message naming what is missing, when the rig lacks the hips, the
 * spine, the head, an arm (upper arm, forearm, hand) or a leg (thigh, shin, foot). */
TELMORA_API telmora_status telmora_retarget_calibrate(
    int bone_count, const int* parents, const int* sources, const double* rest_matrices,
    const double* calibration_poses, const double* object_matrix, telmora_retarget** retarget);
TELMORA_API void telmora_retarget_free(telmora_retarget* retarget);
/* The rig's hips height over the performer's. */
TELMORA_API double telmora_retarget_scale(const telmora_retarget* retarget);
/* The rig's pose for one frame of the performer (TELMORA_BONE_COUNT translations in cm and
 * rotations w, x, y, z, as telmora_stream_pose gives them): per rig bone its pose location (3)
 * and rotation quaternion (4, w x y z) in its own rest frame; bones that follow nothing keep
 * their pose at calibration. `object_offset` (3, may be null) gets the world travel the object
 * carries with TELMORA_ROOT_OBJECT, else zero. */
TELMORA_API telmora_status telmora_retarget_solve(const telmora_retarget* retarget,
                                                  const double* translations,
                                                  const double* rotations, int root_motion,
                                                  int foot_planting, double* locations,
                                                  double* quaternions, double* object_offset);

/* ---- Captures (pcap and pcapng files, of any origin) ---- */

/* One Telmora stream of a capture file, its sensor frames solved on demand. A handle is used
 * by one thread at a time. */
typedef struct telmora_capture telmora_capture;

/* 1 when this build reads captures (it has libpcap), else 0. */
TELMORA_API int telmora_capture_supported(void);
/* Opens the stream of `server` ("" or null: any) and `subject` ("" or null: any; the longest
 * where several fit) in the capture at `path`. Waits: reads the whole file (about 0.1 s for ten
 * minutes at 120 Hz). TELMORA_ERROR_INPUT with the reason for a file that is no capture or
 * holds no such stream; TELMORA_ERROR_UNSUPPORTED where the build cannot read captures. */
TELMORA_API telmora_status telmora_capture_open(const char* path, const char* server,
                                                const char* subject, telmora_capture** capture);
TELMORA_API void telmora_capture_close(telmora_capture* capture);
/* The stream's server and subject names (valid until the handle is closed). */
TELMORA_API const char* telmora_capture_server(const telmora_capture* capture);
TELMORA_API const char* telmora_capture_subject(const telmora_capture* capture);
/* The number of sensor frames that decode, and each one's time in seconds after the first
 * (never decreasing) into `seconds` (capacity at least the count). */
TELMORA_API int telmora_capture_frame_count(const telmora_capture* capture);
TELMORA_API telmora_status telmora_capture_frame_times(const telmora_capture* capture,
                                                       double* seconds, int capacity);
/* Frame `index`'s pose, solved as the live stream solves it (translations 3 and rotations 4,
 * w x y z, a bone). */
TELMORA_API telmora_status telmora_capture_pose(telmora_capture* capture, int index,
                                                double* translations, double* rotations,
                                                int bone_capacity);

#ifdef __cplusplus
}
#endif

#endif /* TELMORA_H */
