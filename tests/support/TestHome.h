#pragma once

#include "gate/GateEnvironment.h"
#include "support/FakeLoginItem.h"

#include <QColor>
#include <QList>
#include <QTemporaryDir>
#include <QUrl>

#include <memory>
#include <optional>

// A temporary world for one controller: home, data folder, settings file, runtime folder, free
// gate ports, a recorded "browser" and a fake login item. Nothing touches the real user's files
// or meets the real user's gate, and whatever still runs on the home when it goes (a gate
// outlives its controller) is killed with it.
class TestHome {
public:
    TestHome();
    ~TestHome();

    QString home() const { return m_dir.path() + QStringLiteral("/home"); }
    QString path(const QString& relative) const { return home() + u'/' + relative; }
    QString supportDir() const { return path(QStringLiteral(".local/share/Kestrova Helper")); }
    QString settingsFile() const { return m_dir.path() + QStringLiteral("/settings.ini"); }
    // The home's own 0700 $XDG_RUNTIME_DIR, set for this process while the home lives, so the
    // gates it launches put their sockets there.
    QString runtimeFolder() const { return m_dir.path() + QStringLiteral("/run"); }

    // Settings as a second program would see them on disk.
    std::shared_ptr<SettingsStore> settings() const { return m_settings; }

    // An environment for a new controller: no resource folder, no system runtimes, search
    // folders inside the home. Tests adjust the fields they care about.
    GateEnvironment environment() const;
    // The same, with the built daemon script and the system's node, so a real gate can run.
    GateEnvironment environmentWithDaemon() const;
    // The same, with a stand-in for the runtime, the only one found: a shell script whose $node
    // is the real node, named in full (the stand-in's folder comes first on the gate's PATH), and
    // $home this home.
    GateEnvironment environmentWithRuntime(const QByteArray& script) const;

    void signIn(const QString& apiKey = QStringLiteral("key-123")) const;
    void makeFile(const QString& relative, const QByteArray& contents = {},
                  bool executable = false) const;

    std::shared_ptr<QList<QUrl>> openedUrls = std::make_shared<QList<QUrl>>();
    std::shared_ptr<FakeLoginItem> loginItem = std::make_shared<FakeLoginItem>();
    quint16 ownPort;
    quint16 existingPort;

private:
    QTemporaryDir m_dir;
    std::shared_ptr<SettingsStore> m_settings;
    std::optional<QByteArray> m_previousRuntime;
};

// A loopback port nothing listens on right now.
quint16 freePort();

// Ends a gate that a test launched, whatever state the controller is in.
void killProcess(qint64 pid);
bool processAlive(qint64 pid);
// What the file holds; empty when it cannot be read.
QByteArray contentsOf(const QString& path);
// The process's arguments, NUL-separated; empty once it has gone.
QByteArray commandLine(qint64 pid);
// Live processes whose command line contains the text.
QList<qint64> processesMentioning(const QString& text);

// WCAG 2 contrast ratio of two opaque colours, worked out here rather than taken from the code
// under test.
double contrastRatio(const QColor& a, const QColor& b);
