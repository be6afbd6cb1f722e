// SPDX-License-Identifier: MIT
import QtQuick
import QtTest
import CameraUIService
import CameraTest

TestCase {
    id: testCase
    name: "CameraCapture"

    // Launches go through dbus activation on a loaded machine: generous, yet a launch that
    // never ends fails its row within half a minute.
    readonly property int launchTimeout: 20000
    readonly property var delayedCamera: ["--delay", "600000"]

    Component {
        id: captureComponent
        CameraCapture {
            photoResolution: "64x48"
        }
    }
    Component {
        id: spyComponent
        SignalSpy {}
    }

    function makeCapture(properties) {
        const capture = createTemporaryObject(captureComponent, testCase, properties || {})
        verify(capture)
        return capture
    }

    function spy(target, signalName) {
        return createTemporaryObject(spyComponent, testCase,
                                     { target: target, signalName: signalName })
    }

    function test_outcomeValues_data() {
        return [
            { tag: "NoOutcome", value: CameraCapture.NoOutcome, number: 0 },
            { tag: "Accepted", value: CameraCapture.Accepted, number: 1 },
            { tag: "Rejected", value: CameraCapture.Rejected, number: 2 },
            { tag: "Cancelled", value: CameraCapture.Cancelled, number: 3 },
            { tag: "TimedOut", value: CameraCapture.TimedOut, number: 4 },
            { tag: "Interrupted", value: CameraCapture.Interrupted, number: 5 },
            { tag: "NoCamera", value: CameraCapture.NoCamera, number: 6 },
            { tag: "CameraFailed", value: CameraCapture.CameraFailed, number: 7 },
            { tag: "Forged", value: CameraCapture.Forged, number: 8 },
            { tag: "NoBus", value: CameraCapture.NoBus, number: 9 },
            { tag: "Refused", value: CameraCapture.Refused, number: 10 },
            { tag: "Aborted", value: CameraCapture.Aborted, number: 11 },
            { tag: "Failed", value: CameraCapture.Failed, number: 12 },
            { tag: "Photo", value: CameraCapture.Photo, number: 1 },
            { tag: "Video", value: CameraCapture.Video, number: 2 },
            { tag: "All", value: CameraCapture.All, number: 0 },
        ]
    }

    function test_outcomeValues(data) {
        compare(data.value, data.number)
        // Outcomes spell their own names; camera types are not outcomes.
        if (data.number > 0 && ["Photo", "Video", "All"].indexOf(data.tag) < 0)
            compare(makeCapture().outcomeName(data.value), data.tag)
    }

    function test_defaults() {
        const capture = makeCapture()
        compare(capture.cameraType, 1)
        compare(capture.videoSizeLimitation, 0)
        compare(capture.fileLocation, "")
        compare(capture.timeout, 0)
        compare(capture.waiting, false)
        compare(capture.outcome, CameraCapture.NoOutcome)
        compare(capture.errorMessage, "")
    }

    // One launch per row; camera: options for a started reference camera, or none for the
    // activated one that accepts at once.
    function test_launch_data() {
        return [
            { tag: "accepted", camera: null, outcome: CameraCapture.Accepted, accepted: true,
              actionReturn: "ACCEPTED", error: "" },
            { tag: "rejected", camera: ["--action-return", "REJECTED"],
              outcome: CameraCapture.Rejected, accepted: false, actionReturn: "REJECTED",
              error: "rejected by the user" },
            { tag: "missing folder", camera: null, fileLocation: "/no-such-folder/x.png",
              outcome: CameraCapture.Failed, accepted: false, actionReturn: "FAILED",
              error: "cannot save /no-such-folder/x.png: the folder /no-such-folder does not exist" },
            { tag: "camera error", camera: ["--error", "org.kiv.Action.Error.Busy"],
              outcome: CameraCapture.CameraFailed, accepted: false,
              error: "org.kiv.Action.Error.Busy" },
            { tag: "camera crashes", camera: ["--exit-without-answer"],
              outcome: CameraCapture.CameraFailed, accepted: false, error: "NoReply" },
            { tag: "timed out", camera: delayedCamera, timeout: 300,
              outcome: CameraCapture.TimedOut, accepted: false, actionReturn: "REJECTED",
              error: "300 ms" },
            { tag: "cancelled while waiting", camera: delayedCamera, cancel: true,
              outcome: CameraCapture.Cancelled, accepted: false, actionReturn: "REJECTED",
              error: "cancel" },
        ]
    }

    function test_launch(data) {
        verify(data.camera ? TestCamera.start(data.camera) : TestCamera.stop())
        const capture = makeCapture({ timeout: data.timeout || 0,
                                      fileLocation: data.fileLocation || "" })
        const finished = spy(capture, "finished")
        const waitingChanged = spy(capture, "waitingChanged")
        const outcomeChanged = spy(capture, "outcomeChanged")
        const actionReturnChanged = spy(capture, "actionReturnChanged")
        const errorChanged = spy(capture, "errorMessageChanged")
        const actionReturnBefore = capture.actionReturn
        let waitingAtFinish
        capture.finished.connect(function () { waitingAtFinish = capture.waiting })

        verify(capture.start())
        compare(capture.waiting, true)
        compare(waitingChanged.count, 1)
        compare(capture.outcome, CameraCapture.NoOutcome)
        if (data.cancel) {
            capture.cancel()
            // Reported from the event loop, never from inside cancel().
            compare(finished.count, 0)
        }

        tryCompare(finished, "count", 1, launchTimeout)
        compare(finished.signalArguments[0][0], data.accepted)
        compare(waitingAtFinish, false)
        compare(capture.waiting, false)
        compare(waitingChanged.count, 2)
        compare(capture.outcome, data.outcome)
        compare(outcomeChanged.count, 1)
        if (data.actionReturn !== undefined)
            compare(capture.actionReturn, data.actionReturn)
        compare(actionReturnChanged.count, capture.actionReturn === actionReturnBefore ? 0 : 1)
        if (data.error === "") {
            compare(capture.errorMessage, "")
            compare(errorChanged.count, 0)
        } else {
            verify(capture.errorMessage.indexOf(data.error) >= 0, capture.errorMessage)
            compare(errorChanged.count, 1)
        }
    }

    function test_acceptedPhoto() {
        verify(TestCamera.stop())
        const capture = makeCapture()
        const finished = spy(capture, "finished")
        const locationChanged = spy(capture, "fileLocationChanged")

        // The camera picks the location and the property follows the returned one.
        verify(capture.start())
        tryCompare(finished, "count", 1, launchTimeout)
        compare(finished.signalArguments[0][0], true)
        compare(locationChanged.count, 1)
        verify(capture.fileLocation !== "")
        verify(TestCamera.exists(capture.fileLocation), capture.fileLocation)
        // A JPEG with its EXIF segment first.
        const jpeg = new Uint8Array(capture.data())
        compare(jpeg.length > 8, true)
        compare([jpeg[0], jpeg[1], jpeg[2], jpeg[3]], [0xff, 0xd8, 0xff, 0xe1])

        // A second launch at a chosen location: exactly one more finished().
        const asked = TestCamera.folder + "/second.png"
        capture.fileLocation = asked
        compare(locationChanged.count, 2)
        verify(capture.start())
        tryCompare(finished, "count", 2, launchTimeout)
        compare(finished.signalArguments[1][0], true)
        compare(capture.fileLocation, asked)
        verify(TestCamera.exists(asked))
        compare(finished.count, 2)
    }

    // What the camera replaced, by request key; nothing when it used what was asked.
    function test_settingsUsed_data() {
        return [
            { tag: "too large", properties: { photoResolution: "99999x99999" },
              used: { photoResolution: "MAX" } },
            { tag: "unknown quality", properties: { cameraType: 2, videoQuality: "FOO" },
              used: { videoQuality: "HIGHEST" } },
            { tag: "honoured", properties: { photoResolution: "32x32" }, used: {} },
        ]
    }

    function test_settingsUsed(data) {
        verify(TestCamera.stop())
        const capture = makeCapture(data.properties)
        const finished = spy(capture, "finished")
        const usedChanged = spy(capture, "settingsUsedChanged")
        compare(capture.settingsUsed, {})
        verify(capture.start())
        tryCompare(finished, "count", 1, launchTimeout)
        compare(finished.signalArguments[0][0], true)
        compare(capture.settingsUsed, data.used)
        compare(usedChanged.count, Object.keys(data.used).length > 0 ? 1 : 0)
    }

    // A property set while a launch waits is announced at once and seen by bindings.
    function test_propertiesWhileWaiting_data() {
        return [
            { tag: "fileLocation", property: "fileLocation", value: "/tmp/elsewhere.png" },
            { tag: "photoResolution", property: "photoResolution", value: "320x200" },
            { tag: "videoQuality", property: "videoQuality", value: "LOWEST" },
            { tag: "hasPostCapturedScreen", property: "hasPostCapturedScreen", value: "false" },
            { tag: "timeout", property: "timeout", value: 5000 },
            { tag: "cameraType", property: "cameraType", value: 2 },
            { tag: "videoSizeLimitation", property: "videoSizeLimitation", value: 300000 },
        ]
    }

    function test_propertiesWhileWaiting(data) {
        verify(TestCamera.start(delayedCamera))
        const capture = makeCapture()
        const mirror = createTemporaryQmlObject(
            "import QtQml; QtObject { property QtObject capture; property var value: capture."
            + data.property + " }", testCase)
        mirror.capture = capture
        const changed = spy(capture, data.property + "Changed")
        const finished = spy(capture, "finished")

        verify(capture.start())
        compare(capture.waiting, true)
        capture[data.property] = data.value
        compare(changed.count, 1)
        compare(capture[data.property], data.value)
        compare(mirror.value, data.value)
        capture[data.property] = data.value
        compare(changed.count, 1)

        // A second start is refused and leaves the waiting launch alone.
        verify(!capture.start())
        compare(capture.waiting, true)
        compare(capture.outcome, CameraCapture.NoOutcome)
        compare(finished.count, 0)

        capture.cancel()
        tryCompare(finished, "count", 1, launchTimeout)
        compare(capture.outcome, CameraCapture.Cancelled)
        compare(capture[data.property], data.value)
    }

    // The device: a KR41 phone (minimum sizes from its table), photos posted, videos not.
    function test_deviceQueries_data() {
        return [
            { tag: "auto-post photo", query: c => c.autoPostSetting(1), expected: true },
            { tag: "auto-post video", query: c => c.autoPostSetting(2), expected: false },
            { tag: "min data size, photo", query: c => c.minDataSize(), expected: 0 },
            { tag: "min data size, video HIGHEST",
              properties: { cameraType: 2, videoQuality: "HIGHEST" },
              query: c => c.minDataSize(), expected: 102534 },
        ]
    }

    function test_deviceQueries(data) {
        const capture = makeCapture(data.properties)
        compare(data.query(capture), data.expected)
    }

    // The activated reference camera: the same answer as the C entry point's, as JS values.
    function test_capabilities() {
        verify(TestCamera.stop())
        const capture = makeCapture({ timeout: launchTimeout })
        compare(JSON.stringify(capture.capabilities), "{}")
        const changed = spy(capture, "capabilitiesChanged")
        capture.refreshCapabilities()
        changed.wait(launchTimeout)
        const fromC = TestCamera.capabilitiesJson()
        verify(fromC !== "")
        compare(JSON.stringify(capture.capabilities), JSON.stringify(JSON.parse(fromC)))
        const caps = capture.capabilities
        compare(caps.photoResolutions[0], "MAX")
        compare(caps.photoResolutions.length, 4)
        compare(caps.videoFormats.MEDIUM.width, 1280)
        compare(caps.fileDescriptor, true)
        compare(capture.outcome, CameraCapture.NoOutcome)
    }
}
