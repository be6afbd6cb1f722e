// SPDX-License-Identifier: MIT
#pragma once

#include "gstsource.h"

#include <QImage>
#include <QObject>
#include <QString>

class QTimer;
typedef struct _GstSample GstSample;

namespace refcam {

class Pipeline;

// The camera kept open between photos and for the viewfinder: newest full-size frame,
// optionally the window's picture (viewbranch.h). Stopped when unused for a few seconds so the
// device is free again.
class LiveSource : public QObject
{
    Q_OBJECT
public:
    static LiveSource *instance();

    // Runs sourceName at mode (restarting when either differs); false when it cannot start.
    bool use(const QString &sourceName, const SourceMode &mode, bool viewfinder, QString *errorName,
        QString *error);
    bool isSettled() const;
    // The newest full-size frame (a new reference), or null.
    GstSample *newestFrame() const;
    QImage viewImage() const;
    // Stops after a grace time unless used again; at once when now is true.
    void release(bool now = false);

Q_SIGNALS:
    void settled();
    void viewFrame();
    void failed(const QString &errorName, const QString &message);

private:
    LiveSource() = default;
    bool start(const QString &sourceName, const SourceMode &mode, bool viewfinder,
        QString *errorName, QString *error);
    void stopped(bool started, const QString &why);
    void stopNow();

    Pipeline *m_pipeline = nullptr;
    QString m_sourceName;
    SourceMode m_mode;
    bool m_viewfinder = false;
    QTimer *m_idle = nullptr;
};

} // namespace refcam
