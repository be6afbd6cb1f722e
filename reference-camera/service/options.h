// SPDX-License-Identifier: MIT
#pragma once

#include <QSize>
#include <QString>
#include <QStringList>

namespace refcam {

// How the camera behaves; the non-default settings simulate users and faulty cameras.
struct Options
{
    QString busName;
    QString outputDir; // empty: the standard pictures / movies folder
    QString actionReturn = QStringLiteral("ACCEPTED");
    bool sendActionReturn = true;
    bool sendFileLocation = true;
    bool writeFile = true;
    int delayMs = 0;
    bool exitWithoutAnswer = false;
    QString errorName;
    bool exitAfterOne = false;
    bool interactive = false;
    QSize windowSize; // interactive windows; empty: the window's default
    bool debugPanel = false; // interactive windows list the request's values
    QString source = QStringLiteral("auto");
    // Degrees to turn a photo clockwise for display, into EXIF; -1: what the camera reports.
    int orientation = -1;
    bool orientationGiven = false; // else a window's photo follows the screen's orientation
    int recordMs = 3000;
    QString encoder; // H.264 encoder; empty: the first installed
    // What was read from the configuration file, for the start-up line.
    QStringList fromConfig;
    // A mistake in the configuration file: every request is answered with an error naming
    // it, so a host developer notices instead of getting defaults.
    QString configProblem;
};

QString defaultBusName();

// $XDG_CONFIG_HOME/reference-camera.conf, or ~/.config/reference-camera.conf.
QString configFilePath();

// Whether the window is wanted, decided before the application object exists.
bool wantsInteractive(const QStringList &arguments);

enum class ParseOutcome
{
    Run,
    Exit, // --help or --version was printed
    UsageError, // printed; exit status 2
};

// Command line first, then the configuration file for whatever the command line leaves open.
ParseOutcome parseOptions(const QStringList &arguments, Options *options);

} // namespace refcam
