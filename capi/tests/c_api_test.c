/* The C API from a C99 program, against the test sender streaming the walk:
 *     telmora_c_api_test ANNOUNCE_PORT SENDER_NAME
 * Checks the skeleton table, discovery, a stream with its pose and health, the armature pose and
 * the refusals of bad arguments. Each check prints one line; the first failure ends the program
 * with status 1. */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 199309L
#endif

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "telmora.h"

#if defined(_WIN32)
#include <windows.h>
static void pause_briefly(void) {
    Sleep(10);
}
#else
#include <time.h>
static void pause_briefly(void) {
    struct timespec pause = {0, 10 * 1000 * 1000};
    nanosleep(&pause, NULL);
}
#endif

/* Waits for a condition: 10 s in steps of 10 ms. */
#define DEADLINE_STEPS 1000

static int checks;

static void check(int condition, const char* what) {
    ++checks;
    printf("%s  %s\n", condition ? "PASS" : "FAIL", what);
    fflush(stdout);
    if (!condition) exit(1);
}

/* The status was `expected` and a message was left for it. */
static int refused(telmora_status status, telmora_status expected) {
    return status == expected && telmora_last_error()[0] != '\0';
}

static void check_skeleton(void) {
    telmora_bone bone;
    int index, other, ordered = 1, named = 1, unique = 1;
    const char* names[TELMORA_BONE_COUNT];
    for (index = 0; index < TELMORA_BONE_COUNT; ++index) {
        if (telmora_skeleton_bone(index, &bone) != TELMORA_OK) {
            check(0, "every bone of the skeleton can be read");
        }
        names[index] = bone.name;
        if (bone.parent < -1 || bone.parent >= index || (index == 0) != (bone.parent == -1))
            ordered = 0;
        if (bone.name == NULL || bone.name[0] == '\0') named = 0;
        for (other = 0; named && other < index; ++other)
            if (strcmp(names[other], bone.name) == 0) unique = 0;
    }
    check(ordered, "65 bones, one root, parents before children");
    check(named && unique, "every bone has a name of its own");
    check(telmora_skeleton_bone(0, &bone) == TELMORA_OK && strcmp(bone.name, "Hips") == 0 &&
              isfinite(bone.rest_position[1]) && bone.rest_position[1] > 50.0,
          "the root is the hips, about a metre up (cm, y up)");
    check(refused(telmora_skeleton_bone(TELMORA_BONE_COUNT, &bone), TELMORA_ERROR_ARGUMENT),
          "a bone past the last is refused with a message");
    check(refused(telmora_skeleton_bone(0, NULL), TELMORA_ERROR_ARGUMENT),
          "a null bone is refused with a message");
}

/* The sender's entry once discovery lists it with its subject "walk", else 0. */
static int find_sender(const telmora_discovery* discovery, const char* name,
                       telmora_server_list** list, telmora_server* server) {
    int index, subject;
    if (telmora_discovery_servers(discovery, list) != TELMORA_OK) return 0;
    for (index = 0; index < telmora_server_list_count(*list); ++index) {
        if (telmora_server_list_get(*list, index, server) != TELMORA_OK) continue;
        if (strcmp(server->name, name) != 0) continue;
        for (subject = 0; subject < server->subject_count; ++subject)
            if (strcmp(server->subjects[subject], "walk") == 0) return 1;
    }
    telmora_server_list_free(*list);
    *list = NULL;
    return 0;
}

static int all_finite(const double* values, int count) {
    int i;
    for (i = 0; i < count; ++i)
        if (!isfinite(values[i])) return 0;
    return 1;
}

static void check_stream(const telmora_server* server) {
    telmora_stream* stream = NULL;
    telmora_health health;
    double translations[3 * TELMORA_BONE_COUNT], rotations[4 * TELMORA_BONE_COUNT];
    double rest[16 * TELMORA_BONE_COUNT], locations[3 * TELMORA_BONE_COUNT],
        quaternions[4 * TELMORA_BONE_COUNT];
    int parents[TELMORA_BONE_COUNT];
    uint64_t sequence = 0;
    int step, bone, units = 1;
    telmora_bone rest_bone;

    check(telmora_stream_open(server->ip, server->stream_port, "walk", &stream) == TELMORA_OK &&
              stream != NULL,
          "a stream opens to the sender's walk");
    check(telmora_stream_pose(stream, &sequence, translations, rotations, TELMORA_BONE_COUNT) ==
              TELMORA_OK,
          "the pose can be read before the first frame");
    for (step = 0; step < DEADLINE_STEPS && sequence <= 30; ++step) {
        pause_briefly();
        telmora_stream_pose(stream, &sequence, translations, rotations, TELMORA_BONE_COUNT);
    }
    check(sequence > 30, "frames arrive and the sequence counts them");
    check(all_finite(translations, 3 * TELMORA_BONE_COUNT) &&
              all_finite(rotations, 4 * TELMORA_BONE_COUNT),
          "the pose is finite");
    for (bone = 0; bone < TELMORA_BONE_COUNT; ++bone) {
        const double* q = rotations + 4 * bone;
        if (fabs(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3] - 1.0) > 1e-9) units = 0;
    }
    check(units, "every rotation is a unit quaternion");
    check(translations[1] > 50.0 && translations[1] < 150.0,
          "the hips are about a metre above the floor");
    check(refused(telmora_stream_pose(stream, &sequence, translations, rotations, 64),
                  TELMORA_ERROR_ARGUMENT),
          "buffers too small for a pose are refused");

    check(telmora_stream_health(stream, &health) == TELMORA_OK && health.any_frame &&
              !health.stale && !health.ended && health.frames > 30 && health.refused == 0 &&
              fabs(health.stale_seconds - 0.25) < 1e-12,
          "the health: frames, none refused, not stale, the stale time 0.25 s");
    for (step = 0; step < DEADLINE_STEPS && health.rate_hz < 60.0; ++step) {
        pause_briefly();
        telmora_stream_health(stream, &health);
    }
    check(health.rate_hz >= 60.0 && health.last_frame_age < 0.25,
          "the rate and the last frame's age follow the 120 Hz stream");
    check(refused(telmora_stream_set_stale_seconds(stream, -1.0), TELMORA_ERROR_ARGUMENT) &&
              refused(telmora_stream_set_stale_seconds(stream, NAN), TELMORA_ERROR_ARGUMENT),
          "a stale time that is no positive number is refused");
    check(telmora_stream_set_stale_seconds(stream, 0.5) == TELMORA_OK &&
              telmora_stream_health(stream, &health) == TELMORA_OK &&
              fabs(health.stale_seconds - 0.5) < 1e-12,
          "a stale time is taken");

    /* An armature of the skeleton at rest, its bones unturned: each root's head lands on its
     * channel's translation, (x, -z, y) / 100 m, moved from its rest head. */
    memset(rest, 0, sizeof rest);
    for (bone = 0; bone < TELMORA_BONE_COUNT; ++bone) {
        double* m = rest + 16 * bone;
        telmora_skeleton_bone(bone, &rest_bone);
        parents[bone] = rest_bone.parent;
        m[0] = m[5] = m[10] = m[15] = 1.0;
        m[3] = rest_bone.rest_position[0] / 100.0;
        m[7] = -rest_bone.rest_position[2] / 100.0;
        m[11] = rest_bone.rest_position[1] / 100.0;
    }
    check(telmora_armature_pose(TELMORA_BONE_COUNT, rest, parents, translations, rotations,
                                locations, quaternions) == TELMORA_OK &&
              all_finite(locations, 3 * TELMORA_BONE_COUNT) &&
              all_finite(quaternions, 4 * TELMORA_BONE_COUNT),
          "the armature pose of a frame is finite");
    check(fabs(locations[0] - (translations[0] / 100.0 - rest[3])) < 1e-9 &&
              fabs(locations[1] - (-translations[2] / 100.0 - rest[7])) < 1e-9 &&
              fabs(locations[2] - (translations[1] / 100.0 - rest[11])) < 1e-9,
          "the root's location moves its head onto its channel");
    parents[3] = 7;
    check(refused(telmora_armature_pose(TELMORA_BONE_COUNT, rest, parents, translations, rotations,
                                        locations, quaternions),
                  TELMORA_ERROR_ARGUMENT),
          "a parent after its child is refused");
    check(refused(telmora_armature_pose(2, NULL, parents, translations, rotations, locations,
                                        quaternions),
                  TELMORA_ERROR_ARGUMENT),
          "null matrices are refused");

    {
        /* The same armature as a rig following the performer, calibrated at rest. */
        telmora_retarget* retarget = NULL;
        int sources[TELMORA_BONE_COUNT];
        double object[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
        double offset[3];
        parents[3] = 2;
        for (bone = 0; bone < TELMORA_BONE_COUNT; ++bone) sources[bone] = bone;
        check(telmora_retarget_calibrate(TELMORA_BONE_COUNT, parents, sources, rest, rest, object,
                                         &retarget) == TELMORA_OK &&
                  fabs(telmora_retarget_scale(retarget) - 1.0) < 1e-9,
              "a rig of the default skeleton calibrates, its hips scale 1");
        check(telmora_retarget_solve(retarget, translations, rotations, TELMORA_ROOT_IN_PLACE, 1,
                                     locations, quaternions, offset) == TELMORA_OK &&
                  all_finite(locations, 3 * TELMORA_BONE_COUNT) &&
                  all_finite(quaternions, 4 * TELMORA_BONE_COUNT) && offset[0] == 0.0,
              "a frame retargets onto it, finite");
        check(refused(telmora_retarget_solve(retarget, translations, rotations, 7, 1, locations,
                                             quaternions, NULL),
                      TELMORA_ERROR_ARGUMENT),
              "an unknown root motion is refused");
        telmora_retarget_free(retarget);
        for (bone = 8; bone <= 10; ++bone) sources[bone] = -1; /* no left arm */
        check(refused(telmora_retarget_calibrate(TELMORA_BONE_COUNT, parents, sources, rest, rest,
                                                 object, &retarget),
                      TELMORA_ERROR_INPUT) &&
                  strstr(telmora_last_error(), "the left upper arm") != NULL && retarget == NULL,
              "a rig without a left arm is refused, saying so");
    }

    telmora_stream_close(stream);
    check(1, "the stream closes");
}

int main(int argc, char** argv) {
    telmora_discovery* discovery = NULL;
    telmora_server_list* list = NULL;
    telmora_server server;
    telmora_stream* stream = NULL;
    int port, step, found = 0;
    if (argc != 3) {
        fprintf(stderr, "usage: %s ANNOUNCE_PORT SENDER_NAME\n", argv[0]);
        return 2;
    }
    port = atoi(argv[1]);

    check(telmora_api_version() == TELMORA_API_VERSION,
          "the library's API version is the header's");
    check(telmora_version() != NULL && telmora_version()[0] != '\0', "the library has a version");
    check_skeleton();

    check(
        refused(telmora_discovery_open(0, &discovery), TELMORA_ERROR_ARGUMENT) && discovery == NULL,
        "discovery on port 0 is refused");
    check(
        refused(telmora_stream_open("no address", 23000, "walk", &stream), TELMORA_ERROR_NETWORK) &&
            stream == NULL,
        "a stream to no IPv4 address is refused");
    check(refused(telmora_stream_open("127.0.0.1", 23000, NULL, &stream), TELMORA_ERROR_ARGUMENT),
          "a stream without a subject is refused");
    {
        telmora_capture* capture = NULL;
        telmora_status expected =
            telmora_capture_supported() ? TELMORA_ERROR_INPUT : TELMORA_ERROR_UNSUPPORTED;
        check(
            refused(telmora_capture_open("no such capture.pcap", NULL, NULL, &capture), expected) &&
                capture == NULL,
            telmora_capture_supported() ? "a capture that is not there is refused"
                                        : "this build says it reads no captures");
    }
    telmora_stream_close(NULL);
    telmora_discovery_close(NULL);
    telmora_server_list_free(NULL);

    check(telmora_discovery_open(port, &discovery) == TELMORA_OK &&
              telmora_discovery_listening(discovery),
          "discovery listens on the port");
    for (step = 0; step < DEADLINE_STEPS && !found; ++step) {
        found = find_sender(discovery, argv[2], &list, &server);
        if (!found) pause_briefly();
    }
    check(found, "the sender is listed with its subject");
    check(server.stream_port > 0 && strcmp(server.ip, "127.0.0.1") == 0,
          "with its address and stream port");
    check(refused(telmora_server_list_get(list, telmora_server_list_count(list), &server),
                  TELMORA_ERROR_ARGUMENT),
          "a server past the list's end is refused");
    telmora_server_list_get(list, 0, &server);
    {
        /* A second discovery on the same port shares it. */
        telmora_discovery* second = NULL;
        check(telmora_discovery_open(port, &second) == TELMORA_OK, "a second discovery opens");
        telmora_discovery_close(second);
    }
    found = 0;
    for (step = 0; step < telmora_server_list_count(list) && !found; ++step)
        found = telmora_server_list_get(list, step, &server) == TELMORA_OK &&
                strcmp(server.name, argv[2]) == 0;
    check_stream(&server);
    telmora_server_list_free(list);
    telmora_discovery_close(discovery);
    printf("c_api_test: all %d checks passed\n", checks);
    return 0;
}
