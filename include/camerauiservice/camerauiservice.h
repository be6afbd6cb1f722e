// SPDX-License-Identifier: MIT
#ifndef CAMERAUISERVICE_C_API_H
#define CAMERAUISERVICE_C_API_H

/**
 * \file camerauiservice.h
 * \brief The flat entry points, usable from C (C99) and C++. Nothing here needs Qt.
 *
 * A host creates a service with CreateCameraUIService(), sets what to capture with the
 * `SetCamera…` functions, launches the camera application with Exec() (blocking) or
 * StartCamera() (a callback), reads how the launch ended with GetCameraOutcome(), the
 * captured file's location with GetCameraFileLocationUtf8() and its bytes with
 * GetCameraDataBytes(), and destroys the service with DestroyCameraDlg().
 *
 * The header compiles as C99 (`-std=c99 -Wall -Wextra -pedantic`) and as C++; it includes
 * nothing from Qt. C++ hosts that want the results as `QString` and `QByteArray` include
 * CameraUIServiceCWrapper.h instead, which adds GetCameraFileLocation() and
 * GetCameraData().
 *
 * **Thread.** Every function runs on the thread that runs the Qt application's event loop
 * (the thread that created the application object); the library locks nothing. A
 * `QCoreApplication` (or `QGuiApplication`, `QApplication`) must exist before a launch;
 * a host without one calls InitCameraApplication() first.
 *
 * **Strings.** Settings are NUL-terminated Latin-1; a null pointer is a null string.
 * Results are UTF-8. Settings are not validated: they travel to the camera as they are.
 * Nothing is reset between launches: a location the camera returned becomes the next
 * launch's `"fileLocation"`, and an action return stands until an answer replaces it.
 *
 * **A null handle** is a host's mistake that does no harm: every function but
 * CreateCameraUIService() and DestroyCameraDlg() then does nothing, returns 0, false, ""
 * or no bytes, and prints the trace line `<function>:error: the service handle is null`.
 * DestroyCameraDlg() of a null handle does nothing, silently.
 *
 * **Ownership.** The host owns each service from CreateCameraUIService() until it passes it
 * to DestroyCameraDlg(). Every pointer a getter returns belongs to the service
 * (\transfernone): never free it, and copy what must outlive these rules. Each
 * getter has a buffer of its own: calling one never moves what another handed out.
 *
 * - GetCameraFileLocationUtf8(): a UTF-8 copy held by the service, valid until the next
 *   call of it on that service, a change of the location (SetCameraFileLocation(), a
 *   launch's answer), or DestroyCameraDlg().
 * - GetCameraDataBytes(): the service's buffer, valid until the next read
 *   (GetCameraDataBytes() or GetCameraData()), or DestroyCameraDlg().
 * - GetCameraActionReturn(): a UTF-8 copy held by the service, valid until the next call
 *   of it on that service, the end of a launch, or DestroyCameraDlg().
 * - GetCameraErrorMessage(): the service's UTF-8 text, valid until the next launch, or
 *   DestroyCameraDlg().
 * - GetCameraUIServiceVersion(): a constant, valid for good.
 *
 * **Trace.** Every operation prints lines to standard output, each beginning
 * `Camera LOG in <source file>:<line>:<function>:`, flushed when the call returns (and
 * before Exec() waits). Strings are printed in Latin-1 with control characters escaped
 * (`\n`, `\r`, `\t`, `\xhh`), so a value can neither end its line nor drive a terminal.
 * `CAMERAUISERVICE_TRACE=0` in the environment silences it (read once, at the first
 * line).
 */

#include "camerauiservice_export.h"
#include "camerauiservice_version.h"

#include <stddef.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
class CameraUIService;
extern "C" {
#else
/**
 * The service handle: one capture job, made by CreateCameraUIService() and owned by the
 * host until DestroyCameraDlg(). Opaque in C; in C++ it is the class CameraUIService.
 */
typedef struct CameraUIService CameraUIService;
#endif

/**
 * Camera mode: 1 photo, 2 video, every other value both.
 *
 * An `int` rather than the enum, so a host may pass any value; the CameraTypeValue
 * names spell the three.
 */
typedef int CameraType;
/** Names for the CameraType values. */
enum CameraTypeValue
{
    CameraTypeAll = 0, /**< Photo or video, the user chooses (`"ALL"`); any other value too. */
    CameraTypePhoto = 1, /**< A photo (`"PHOTO"`). */
    CameraTypeVideo = 2 /**< A video (`"VIDEO"`). */
};

/**
 * How the last launch of a service ended (GetCameraOutcome()).
 *
 * Every launch ends with exactly one outcome. Exec() returns 1, and StartCamera()'s
 * callback gets `accepted` 1, exactly when it is #CameraOutcomeAccepted. Every outcome
 * but Accepted and Rejected gives an error message (GetCameraErrorMessage()), and those of
 * a launch that ended without an answer set the action return to "REJECTED". The same
 * values are `CameraCapture::Outcome` in C++ and QML and `camerauiservice.Outcome` in
 * Python; GetCameraOutcomeName() spells them. New values are added at the end.
 *
 * Every answer belongs to exactly one launch. A launch that is given up (cancelled, timed
 * out, interrupted, or its service destroyed) is forgotten, and the camera is told with
 * the `Cancel` wire method: its late answer never completes a later launch and never
 * changes the action return or the location.
 */
typedef enum CameraOutcome
{
    /** No launch yet, or one is still waiting. */
    CameraOutcomeNone = 0,
    /** The camera answered with the action return "ACCEPTED" (compared exactly). */
    CameraOutcomeAccepted = 1,
    /** The user said no: the camera answered an action return other than "ACCEPTED" and
        "FAILED" (e.g. "REJECTED", "CANCELLED"), or none while the earlier one was not
        "ACCEPTED". */
    CameraOutcomeRejected = 2,
    /** The host called CancelCamera(). */
    CameraOutcomeCancelled = 3,
    /** The limit set with SetCameraTimeout() ran out; the camera is told to stop. */
    CameraOutcomeTimedOut = 4,
    /** Exec()'s wait was ended by the host's event loop (the application quit,
        `QCoreApplication::exit()`) before an answer; the camera is told to stop. */
    CameraOutcomeInterrupted = 5,
    /** Nobody serves the action: no camera application is installed or activatable
        (ServiceUnknown, NameHasNoOwner, activation failed). */
    CameraOutcomeNoCamera = 6,
    /** The camera left or crashed (NoReply), answered with a D-Bus error, or answered
        with another signature. */
    CameraOutcomeCameraFailed = 7,
    /** A reply or error came from a connection that does not own the action's name. The
        forged location is never taken, but the capture is lost. */
    CameraOutcomeForged = 8,
    /** No session bus connection, or it was lost while waiting. */
    CameraOutcomeNoBus = 9,
    /** Not started: no Qt application object. (A second launch refused while one waits
        leaves the waiting one's outcome alone.) */
    CameraOutcomeRefused = 10,
    /** The platform aborted without saying why (a platform library that reports no
        reason), or the service was destroyed while its launch was out. */
    CameraOutcomeAborted = 11,
    /** The capture could not be made or placed: the camera answered "FAILED" (its
        "failureReason" is the error message), the host could not move a capture written
        through its descriptor onto the target (the system's words, e.g. `cannot move the
        capture onto /x/p.jpg: Operation not permitted`), or the camera answered
        "ACCEPTED" naming a file that does not exist while nothing came through the
        descriptor (`the camera reported ACCEPTED but left no file at /x/p.jpg`). In the
        last two cases the action return becomes "FAILED". */
    CameraOutcomeFailed = 12
} CameraOutcome;

/**
 * Called once per launch started by StartCamera(), from the event loop of the thread that
 * started it, never from inside a library call.
 *
 * \param service \notnull the service whose launch ended. The callback may destroy it
 *        (DestroyCameraDlg()) or start a new launch on it.
 * \param accepted 1 exactly when the outcome is #CameraOutcomeAccepted, else 0.
 * \param userData \nullable what the host gave StartCamera(), untouched.
 */
typedef void (*CameraFinishedCallback)(CameraUIService *service, int accepted, void *userData);

/**
 * Creates a service.
 *
 * The settings start as: no file location (the camera picks a name), photo resolution
 * "MAX", video quality "HIGHEST", a screen after the capture "YES", action return
 * "ACCEPTED", outcome #CameraOutcomeNone, no time limit. No application object is
 * needed to create a service, only to launch it.
 *
 * \param cameraType 1 photo, 2 video, any other value both (CameraTypeValue).
 * \param videoSizeLimitation sent to the camera as it is: the largest video file in
 *        bytes, 0 or less for no limit.
 * \return \transferfull \notnull the new service; the host owns it until it passes it to
 *         DestroyCameraDlg().
 * \guithread
 */
CAMERAUISERVICE_EXPORT CameraUIService *CreateCameraUIService(
    CameraType cameraType, int videoSizeLimitation);
/**
 * Destroys a service and everything it owns.
 *
 * A launch still out ends here: the camera is told to stop, the launch's outcome is
 * #CameraOutcomeAborted and its StartCamera() callback never runs. Called from an event
 * handler while Exec() waits, Exec() returns 0 without touching the freed service.
 * Every pointer and reference obtained from the service becomes invalid.
 *
 * \param service \nullable the service; a null handle does nothing.
 * \guithread
 */
CAMERAUISERVICE_EXPORT void DestroyCameraDlg(CameraUIService *service);
/**
 * Launches the camera application and waits for it, running the event loop nested.
 *
 * Sends the request built from the settings, then runs a nested event loop until the
 * launch ends, so the host's other event handlers (timers, windows, its own sockets) keep
 * running meanwhile. The nested loop is the launch's own: an answer that arrives while
 * no launch waits never ends a loop of the host's.
 *
 * Returns 0 at once, without sending anything, when there is no Qt application object
 * (outcome #CameraOutcomeRefused, trace `exec:error: no Qt application object, cannot
 * wait for the camera`) or when a launch of this service still waits (called again from
 * an event handler: trace `exec:error: a launch is already waiting, nothing sent`; the
 * waiting launch goes on). When something else ends the nested loop (the application
 * quits while the camera is open), Exec() returns 0 with
 * `exec:error: the wait ended before the camera answered` and the outcome
 * #CameraOutcomeInterrupted; the camera is told to stop. SetCameraTimeout() bounds the
 * wait; CancelCamera() from an event handler ends it. A launch that ends without an answer
 * traces why, then `exec:The user actionReturn is REJECTED`.
 *
 * "ACCEPTED" counts only with a file. When the camera wrote through the file the library
 * offered it (see doc/security.md) without saying `"fileDescriptorUsed"`, the capture is
 * kept all the same (the trace says so). When the camera itself answered "ACCEPTED" but
 * the location (the one returned, else the one set) names no file and nothing came
 * through the descriptor, Exec() returns 0 with #CameraOutcomeFailed, the action return
 * "FAILED" and the message `the camera reported ACCEPTED but left no file at <location>`.
 * An answer without an action return, or a launch with no location at all, is taken as
 * it is.
 *
 * \param service \notnull the service.
 * \return 1 when the outcome is #CameraOutcomeAccepted (the camera answered "ACCEPTED"),
 *         else 0; GetCameraOutcome() says why.
 * \guithread
 */
CAMERAUISERVICE_EXPORT int Exec(CameraUIService *service);

/**
 * Sets the file the camera should write (`"fileLocation"`), for the next launches.
 *
 * An empty location lets the camera pick a name (the request then carries no
 * `"fileLocation"`). A location the camera returns replaces this one.
 *
 * \param service \notnull the service.
 * \param fileLocation \nullable an absolute path in Latin-1, copied; NULL or "" for none.
 * \guithread
 */
CAMERAUISERVICE_EXPORT void SetCameraFileLocation(
    CameraUIService *service, const char *fileLocation);
/**
 * Sets the photo resolution (`"photoResolution"`) for the next launches.
 *
 * \param service \notnull the service.
 * \param photoResolution \nullable "MAX" (the default: the largest the camera can take)
 *        or "WxH" in pixels, Latin-1, copied.
 * \guithread
 */
CAMERAUISERVICE_EXPORT void SetCameraPhotoResolution(
    CameraUIService *service, const char *photoResolution);
/**
 * Sets the video quality (`"videoQuality"`) for the next launches and for GetMinDataSize().
 *
 * \param service \notnull the service.
 * \param videoQuality \nullable "HIGHEST" (the default), "MEDIUM" or "LOWEST", Latin-1,
 *        copied.
 * \guithread
 */
CAMERAUISERVICE_EXPORT void SetCameraVideoQuality(
    CameraUIService *service, const char *videoQuality);
/**
 * Sets whether the camera shows a review screen after the capture
 * (`"hasPostCapturedScreen"`), for the next launches.
 *
 * \param service \notnull the service.
 * \param hasPostCapturedScreen \nullable "YES" (the default) or anything else for no
 *        screen, Latin-1, copied.
 * \guithread
 */
CAMERAUISERVICE_EXPORT void SetCameraHasPostCapturedScreen(
    CameraUIService *service, const char *hasPostCapturedScreen);

/**
 * The minimum data size of a video recording at the set quality on this phone model.
 *
 * Reads the phone model (`[PHONE_MODEL] PhoneModelID` in
 * `/usr/securesetup/tq_phonemodel.cfg`) at the time of the call; nothing is cached. A
 * model containing "KR41" or "Tarvo" uses the KR41 table, else "TJ72" or "Bexi" the TJ72
 * table (CameraUIService::m_VideoQualityList_KR41, CameraUIService::m_VideoQualityList_TJ72),
 * else the KR41 "LOWEST" row. From the row's bit rate, frame rate and frame size:
 * `(bitRate + 12800) / 8 + fps * 160 + 1414 + factor * (width * height / 5)`, with the
 * factor 3 for 176 × 144 frames and 2 otherwise. KR41 "HIGHEST" (512000 bit/s, 30 fps,
 * 320 × 240) gives 102534 bytes.
 *
 * When the environment variable `KIV_ROOT` is set, it is prepended to the path (a fake
 * root for tests and desktops).
 *
 * \param service \notnull the service; its camera type and video quality count.
 * \return the size in bytes; 0 for a photo service (camera type 1), an unknown quality
 *         or a configuration file that cannot be read.
 * \guithread
 */
CAMERAUISERVICE_EXPORT unsigned int GetMinDataSize(CameraUIService *service);
/**
 * Whether automatic posting is switched on for photos or for videos.
 *
 * Reads `[cameraSetting] photoAutoBlog` (for camera type 1) or `videoAutoBlog` (any
 * other) in `/kivlocal/download/appwrite/setup/kiv_camera_resource.cfg` at the time of
 * the call (`KIV_ROOT` is prepended as for GetMinDataSize()). `true`, `yes`, `on` and `1`
 * in any letter case are true.
 *
 * \param service \notnull the service.
 * \param cameraType 1 for photos, any other value for videos; independent of the
 *        service's own camera type.
 * \return the setting; false when it, its group or the file is missing or unreadable.
 * \guithread
 */
CAMERAUISERVICE_EXPORT bool GetAutoPostSetting(CameraUIService *service, int cameraType);

/* Launch outcomes, cancel, time limit and the non-blocking start. */
/**
 * How the last launch of the service ended.
 *
 * \param service \notnull the service.
 * \return a CameraOutcome value: #CameraOutcomeNone before any launch and while one
 *         waits.
 * \guithread
 */
CAMERAUISERVICE_EXPORT int GetCameraOutcome(CameraUIService *service);
/**
 * The name of an outcome, for messages and logs.
 *
 * \param outcome a CameraOutcome value.
 * \return \transfernone \nullable "None", "Accepted", "Rejected", "Cancelled",
 *         "TimedOut", "Interrupted", "NoCamera", "CameraFailed", "Forged", "NoBus",
 *         "Refused", "Aborted" or "Failed", a constant valid for good; NULL for any other
 *         value. Any thread.
 */
CAMERAUISERVICE_EXPORT const char *GetCameraOutcomeName(int outcome);
/**
 * Why the last launch was not accepted, in words a host may show its user.
 *
 * "" before any launch and after #CameraOutcomeAccepted. After #CameraOutcomeRejected or
 * #CameraOutcomeFailed that the camera answered, the camera's own reason, its
 * "failureReason", e.g. `cannot save /x/p.jpg: the folder /x does not exist` or
 * `rejected by the user`, and "" when it gave none. Otherwise a short text such as
 * `org.freedesktop.DBus.Error.ServiceUnknown: The name ... was not provided by any
 * .service files`, `cancelled by the host` or `no answer within 5000 ms`.
 *
 * \param service \notnull the service.
 * \return \transfernone \notnull UTF-8, valid until the next launch or
 *         DestroyCameraDlg().
 * \guithread
 */
CAMERAUISERVICE_EXPORT const char *GetCameraErrorMessage(CameraUIService *service);
/**
 * Ends the waiting launch of the service.
 *
 * The launch has ended when CancelCamera() returns: action return "REJECTED", outcome
 * #CameraOutcomeCancelled, nothing waits and a new launch may start. Exec() returns 0,
 * or the StartCamera() callback runs, afterwards from the event loop, never inside
 * CancelCamera(). The camera is told with the `CancelLaunch` wire method, naming this
 * launch's "launchId"; its late answer never completes a later launch and never changes
 * the action return or the location. Does nothing when no launch waits.
 *
 * \note Services of one host share its bus connection; `CancelLaunch` ends this launch
 *       alone. A camera without that method is sent `Cancel`, which ends every capture
 *       of the action that this connection asked for, each answered "CANCELLED"
 *       (#CameraOutcomeRejected).
 *
 * \param service \notnull the service.
 * \guithread
 */
CAMERAUISERVICE_EXPORT void CancelCamera(CameraUIService *service);
/**
 * Bounds the wait of later launches.
 *
 * When the limit runs out the launch ends like a cancel, with the outcome
 * #CameraOutcomeTimedOut and the error message `no answer within <ms> ms`.
 *
 * \param service \notnull the service.
 * \param milliseconds the limit; 0 or less means none (the default: the user may take as
 *        long as they like).
 * \guithread
 */
CAMERAUISERVICE_EXPORT void SetCameraTimeout(CameraUIService *service, int milliseconds);
/**
 * Launches the camera application without waiting: the callback reports the end.
 *
 * Sends the same request as Exec() and returns at once. For a started launch the
 * callback runs exactly once, later, from the event loop of the thread that started it
 * (a host with a GLib main loop on the thread that created the application gets it from
 * that loop). A launch whose outcome is known but whose callback has not run yet no
 * longer counts as waiting. DestroyCameraDlg() of the service while its launch is out
 * ends the launch without calling the callback.
 *
 * \param service \notnull the service.
 * \param callback \nullable \scopeasync called when the launch ends; NULL: nothing is
 *        called.
 * \param userData \nullable passed to the callback as it is; the library never reads or
 *        frees it.
 * \return 1 when the launch started; 0 when it was refused (a launch of this service
 *         still waits, or there is no Qt application object: outcome
 *         #CameraOutcomeRefused), and then the callback never runs.
 * \guithread
 */
CAMERAUISERVICE_EXPORT int StartCamera(
    CameraUIService *service, CameraFinishedCallback callback, void *userData);
/**
 * Runs the event loop until the launch started by StartCamera() ends, or \a milliseconds
 * pass.
 *
 * Waiting in short slices lets a host do other things between them, for example react
 * to a signal and call CancelCamera(); the Python binding's `exec()` waits this way so
 * that Ctrl-C works. A loop left by someone else (the application quits) ends the launch
 * as #CameraOutcomeInterrupted, as for Exec().
 *
 * \param service \notnull the service.
 * \param milliseconds the longest wait; a negative value waits without a limit.
 * \return 1 when no launch waits any more (the outcome is final and the StartCamera()
 *         callback has run; also when none was waiting), 0 when the time ran out first.
 * \guithread
 */
CAMERAUISERVICE_EXPORT int WaitCamera(CameraUIService *service, int milliseconds);

/**
 * The value the camera used instead of a setting it could not honour, from its last
 * answer ("photoResolutionUsed", "videoQualityUsed" on the wire).
 *
 * \param service \notnull the service.
 * \param key a request key: "photoResolution" or "videoQuality".
 * \return \transfernone \notnull UTF-8, e.g. "MAX" or "HIGHEST"; "" when the camera used
 *         what was asked (or did not say), for any other key or a null one, and before
 *         an answer. Valid until the next GetCameraSettingUsed() for the service or
 *         DestroyCameraDlg().
 * \guithread
 */
CAMERAUISERVICE_EXPORT const char *GetCameraSettingUsed(CameraUIService *service, const char *key);

/**
 * Asks the camera to end a video recording after \a milliseconds (`"videoDurationLimit"`),
 * for the next launches.
 *
 * The value is sent only when it is above 0; 0 (the default) or less lets the camera
 * decide. A camera that predates the value ignores it (the trace of the answer then says
 * `the camera did not report a duration`). The camera's capabilities give its longest
 * recording as `maxVideoDuration` (0: no limit of its own).
 *
 * \param service \notnull the service.
 * \param milliseconds the longest recording; 0 or less: the camera decides.
 * \guithread
 */
CAMERAUISERVICE_EXPORT void SetCameraVideoDurationLimit(CameraUIService *service, int milliseconds);
/**
 * How long the video of the last accepted launch is, as the camera reported it
 * (`"videoDurationMs"`).
 *
 * \param service \notnull the service.
 * \return milliseconds; 0 before an answer, for a photo, and when the camera did not say.
 * \guithread
 */
CAMERAUISERVICE_EXPORT int GetCameraVideoDuration(CameraUIService *service);
/**
 * What ended the video of the last accepted launch, as the camera reported it
 * (`"videoEndedBy"`).
 *
 * \param service \notnull the service.
 * \return \transfernone \notnull UTF-8: "USER" (the user stopped it), "DURATION_LIMIT"
 *         (SetCameraVideoDurationLimit() or the camera's own length), "SIZE_LIMIT" (the
 *         video size limitation), "CAMERA_STOPPED" (the camera stopped sending pictures),
 *         or "" when unknown. Valid until the next call of it on that service or
 *         DestroyCameraDlg().
 * \guithread
 */
CAMERAUISERVICE_EXPORT const char *GetCameraVideoEndedBy(CameraUIService *service);

/* Results without Qt types. */
/**
 * The file location: the one set, or the one the camera returned after a launch.
 *
 * The same value and trace line as GetCameraFileLocation(), in UTF-8: the exact path the
 * camera returned, ready for `fopen()`.
 *
 * \param service \notnull the service.
 * \return \transfernone \notnull "" when empty; valid until the next call of it on
 *         that service, a change of the location (SetCameraFileLocation(), a launch's
 *         answer), or DestroyCameraDlg().
 * \guithread
 */
CAMERAUISERVICE_EXPORT const char *GetCameraFileLocationUtf8(CameraUIService *service);
/**
 * Reads the file at the file location and returns its bytes, without a copy.
 *
 * Reads as GetCameraData() does, with the same trace and rules: only a regular file is
 * read (a FIFO or device never blocks the host); when the file cannot be opened (an empty
 * location, a missing file, a directory) the earlier bytes are kept; a short read empties
 * the buffer, and so does a file larger than the buffer can hold (4 GiB − 1 with Qt 6,
 * 2 GiB with Qt 5) or a failed allocation, with a trace line. After a capture the library
 * put in place through the file descriptor it offered, the bytes are those of that file
 * even when the location has since come to name another one (its folder renamed, the file
 * replaced): the library keeps the file open until the next launch or DestroyCameraDlg().
 *
 * \param service \notnull the service.
 * \param size \nullable receives the number of bytes (0 for a null handle); NULL when
 *        not wanted.
 * \return \transfernone \notnull the service's buffer, valid until the next read
 *         (GetCameraDataBytes() or GetCameraData()) or DestroyCameraDlg().
 * \guithread
 */
CAMERAUISERVICE_EXPORT const void *GetCameraDataBytes(CameraUIService *service, size_t *size);
/**
 * The camera's action return: "ACCEPTED", "REJECTED", or whatever text it answered.
 *
 * "ACCEPTED" before any launch; an answer without an action return keeps the earlier
 * one; a launch that ends without an answer (cancelled, timed out, failed) sets
 * "REJECTED".
 *
 * \param service \notnull the service.
 * \return \transfernone \notnull UTF-8, valid until the next call of it on that
 *         service, the end of a launch, or DestroyCameraDlg().
 * \guithread
 */
CAMERAUISERVICE_EXPORT const char *GetCameraActionReturn(CameraUIService *service);

/**
 * Asks the camera application what it can do, without launching it.
 *
 * The answer is a JSON object, e.g. {"photoResolutions": ["MAX", "1920x1080", ...],
 * "videoFormats": {"HIGHEST": {"width": 1920, ...}, ...}, ...}; doc/capabilities.md lists
 * the keys. A camera that predates the question gives "{}". A query that fails sets
 * GetCameraOutcome() and GetCameraErrorMessage() as a failed launch would (no camera, no
 * bus, a forged reply, no answer in time, an error from the camera); one that gets an
 * answer leaves them as they were.
 *
 * Blocks without an event loop, so no event of the host's (a launch's answer included)
 * is delivered meanwhile, for at most the launch time limit (SetCameraTimeout(); 25 s
 * when there is none). The bus may start the camera to answer.
 *
 * \param service \notnull the service.
 * \return \transfernone \nullable UTF-8 JSON object text, valid until the next call of
 *         it on that service or DestroyCameraDlg(); NULL when the query failed or the
 *         handle is null.
 * \guithread
 */
CAMERAUISERVICE_EXPORT const char *GetCameraCapabilities(CameraUIService *service);

/**
 * Creates a `QCoreApplication` when the process has no Qt application object.
 *
 * Call it on the thread that will make every other call and run the event loop: that
 * thread becomes Qt's main thread. On Linux Qt's event dispatcher there is GLib's on the
 * default main context, so a host running `g_main_loop_run()` on that thread gets
 * StartCamera()'s callback from its own loop (unless `QT_NO_GLIB=1` is set; such a host
 * uses Exec()).
 *
 * The application belongs to that thread: ReleaseCameraApplication() destroys it only
 * when called there (on any other thread it traces an error and keeps it).
 *
 * \return 1 when it created the application, 0 when one already exists (the host's, or
 *         one it made before).
 */
CAMERAUISERVICE_EXPORT int InitCameraApplication(void);
/**
 * Destroys the application object that InitCameraApplication() created, and nothing else.
 *
 * Destroy every service first, and never call it from a callback or while Exec() waits.
 * Afterwards InitCameraApplication() may make a new one. An application the host made
 * itself is never touched.
 */
CAMERAUISERVICE_EXPORT void ReleaseCameraApplication(void);

/**
 * The library's version, for example "1.1.0".
 *
 * Compare it with #CAMERAUISERVICE_VERSION_STRING, the version of the headers a host was
 * built with.
 *
 * \return \transfernone \notnull a constant string, valid for good. Any thread.
 */
CAMERAUISERVICE_EXPORT const char *GetCameraUIServiceVersion(void);

#ifdef __cplusplus
}
#endif

#endif
