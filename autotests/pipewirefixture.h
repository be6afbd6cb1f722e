// SPDX-License-Identifier: MIT
#pragma once

#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// A private PipeWire for tests, started by the test itself (no systemd): its own runtime,
// state, config and data folders and session bus, then pipewire and wireplumber. The test
// process's environment points at it, so in-process GStreamer and D-Bus use it; call
// start() before either is first used. Every process it starts ends with stop(), with the
// fixture's destruction, and with the test process itself (parent-death signal).
class PipeWireFixture
{
public:
    PipeWireFixture();
    ~PipeWireFixture();
    PipeWireFixture(const PipeWireFixture &) = delete;
    PipeWireFixture &operator=(const PipeWireFixture &) = delete;

    // What is missing to run at all (programs, GStreamer elements), naming the Debian
    // packages; empty when everything is there.
    static QString missingPackages(bool portal = false);

    // confSnippet goes into pipewire.conf.d (e.g. SPA nodes). False with *why set.
    bool start(const QString &confSnippet, QString *why);
    void stop();

    // A camera node fed by GStreamer: videotestsrc ! caps [! extra] ! pipewiresink
    // mode=provide, registered as a Video/Source with media.role Camera. Waits until
    // PipeWire lists it; null with *why when it did not appear.
    QProcess *addProvider(const QString &nodeName, const QString &caps, QString *why,
        const QString &extra = QString());
    void removeProvider(QProcess *provider);
    // Whether PipeWire lists a node called nodeName now.
    bool hasNode(const QString &nodeName) const;

    // xdg-desktop-portal with the test's Access backend (its bus name, which the test owns)
    // chosen through a .portal file. False with *why set.
    bool startPortal(const QString &accessBusName, QString *why);
    void stopPortal();
    bool portalRunning() const;

    QString dataHome() const;

private:
    QProcess *launch(const QString &program, const QStringList &arguments);
    void end(QProcess *process);
    QString wpctlStatus() const;

    QTemporaryDir m_dir;
    QList<QProcess *> m_processes; // in start order
    QProcess *m_bus = nullptr;
    QProcess *m_portal = nullptr;
    QList<QByteArray> m_savedNames;
    QList<QByteArray> m_savedValues;
};
