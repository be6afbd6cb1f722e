// SPDX-License-Identifier: MIT
/* A C host whose only event loop is GLib's: the application object from
 * InitCameraApplication dispatches through the default GLib main context, so StartCamera's
 * callback arrives while the host runs g_main_loop_run. Runs on a private bus where the
 * reference camera is activatable. */
#define _POSIX_C_SOURCE 200809L

#include <camerauiservice/camerauiservice.h>

#include <glib.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int failures;

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "FAIL %s:%d: %s (%s)\n", __FILE__, __LINE__, #cond, row->name);        \
            ++failures;                                                                            \
        }                                                                                          \
    } while (0)

struct Row
{
    const char *name;
    int cancel; /* CancelCamera right after StartCamera */
    int accepted;
    int outcome;
};

static const struct Row rows[] = {
    { "answered", 0, 1, CameraOutcomeAccepted },
    { "cancelled", 1, 0, CameraOutcomeCancelled },
};

struct State
{
    GMainLoop *loop;
    GThread *thread;
    int calls;
    int accepted;
    int timedOut;
    int onOtherThread;
};

static void finished(CameraUIService *service, int accepted, void *userData)
{
    struct State *state = userData;
    (void)service;
    ++state->calls;
    state->accepted = accepted;
    state->onOtherThread = g_thread_self() != state->thread;
    g_main_loop_quit(state->loop);
}

/* Bounds the wait so a callback that never comes fails the row instead of hanging. */
static gboolean watchdog(gpointer userData)
{
    struct State *state = userData;
    state->timedOut = 1;
    g_main_loop_quit(state->loop);
    return G_SOURCE_REMOVE;
}

static void run(const struct Row *row, const char *dir)
{
    struct State state;
    char path[512];
    guint watch;
    int spins;
    CameraUIService *camera = CreateCameraUIService(CameraTypePhoto, 0);

    memset(&state, 0, sizeof state);
    state.loop = g_main_loop_new(NULL, FALSE);
    state.thread = g_thread_self();
    snprintf(path, sizeof path, "%s/%s.png", dir, row->name);
    SetCameraFileLocation(camera, path);
    SetCameraPhotoResolution(camera, "32x24");

    CHECK(StartCamera(camera, finished, &state) == 1);
    if (row->cancel)
        CancelCamera(camera);
    CHECK(state.calls == 0); /* never from inside StartCamera or CancelCamera */

    watch = g_timeout_add_seconds(20, watchdog, &state);
    g_main_loop_run(state.loop);
    if (!state.timedOut)
        g_source_remove(watch);

    /* Whatever is still queued runs now: a second callback would show here. */
    for (spins = 0; spins < 1000 && g_main_context_pending(NULL); ++spins)
        g_main_context_iteration(NULL, FALSE);

    CHECK(!state.timedOut);
    CHECK(state.calls == 1);
    CHECK(state.accepted == row->accepted);
    CHECK(!state.onOtherThread);
    CHECK(GetCameraOutcome(camera) == row->outcome);
    if (row->accepted) {
        size_t size = 0;
        GetCameraDataBytes(camera, &size);
        CHECK(size > 0);
        CHECK(strcmp(GetCameraFileLocationUtf8(camera), path) == 0);
    }
    DestroyCameraDlg(camera);
    g_main_loop_unref(state.loop);
    unlink(path);
}

int main(void)
{
    char dir[] = "/tmp/camerauiservice-glibloop.XXXXXX";
    size_t i;

    /* With QT_NO_GLIB Qt uses its own dispatcher and a GLib loop would never see it. */
    unsetenv("QT_NO_GLIB");
    if (!mkdtemp(dir)) {
        perror("mkdtemp");
        return 1;
    }
    if (InitCameraApplication() != 1) {
        fprintf(stderr, "FAIL: InitCameraApplication did not create the application\n");
        return 1;
    }
    for (i = 0; i < sizeof rows / sizeof rows[0]; ++i)
        run(&rows[i], dir);
    ReleaseCameraApplication();
    rmdir(dir);

    fprintf(stderr, "glibloopctest: %d failure(s)\n", failures);
    return failures ? 1 : 0;
}
