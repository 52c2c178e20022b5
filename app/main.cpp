#include "app/main_window.h"
#include "app/remotecontrol.h"
#include "app/singleinstance.h"
#include "app/terminationsignals.h"
#include "app/widgetkit.h"
#include "registry/registry.h"

#include <QApplication>
#include <QLoggingCategory>
#include <QSessionManager>

// What the settings store has to say (the lines of a settings file it skipped,
// where it kept a copy of the file), off unless switched on with
// QT_LOGGING_RULES="quillon.settings.debug=true".
Q_LOGGING_CATEGORY(lcQuillonSettings, "quillon.settings", QtWarningMsg)

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("quillon"));
    // No application display name: Qt would append it to the caption on X11
    // after a dash, and the caption is "Quillon Test" alone.
    QApplication::setApplicationVersion(QStringLiteral(QUILLON_VERSION_TEXT));
    QApplication::setDesktopFileName(QStringLiteral("quillon"));

    // A second copy ends at once and silently: nothing shown, read, written
    // or sent, and the running copy is left alone.
    const quillon::app::SingleInstance instance(QStringLiteral("quillon"));
    if (!instance.isFirst())
        return 0;

    QApplication::setWindowIcon(quillon::app::kit::panelIcon());

    // The settings live in the platform's own registry, made once here.
    const auto registry = quillon::registry::platformRegistry(
        [](const std::string& message) { qCDebug(lcQuillonSettings, "%s", message.c_str()); });
    quillon::app::formMain window(*registry);

    // The close box, the system menu and Alt+F4 arrive as a close event, which
    // runs the shut-down; closing the only window then ends the process.
    // Termination signals close the window the same way. At the end of the
    // desktop session the session manager may end the process without a close
    // event, so the settings are saved when it asks for data to be committed;
    // the panel itself keeps running, as the logout may still be cancelled.
    const quillon::app::TerminationSignals termination([&window] { window.close(); });
    QObject::connect(&application, &QGuiApplication::commitDataRequest, &window,
                     [&window](QSessionManager&) { window.commitSessionData(); });
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &window,
                     [&window] { window.Form_Unload(); });

    window.Form_Load();
    // Scripts may drive the panel only once it stands as the operator finds
    // it, and only where the settings say so.
    const auto remote = quillon::app::startRemoteControl(*registry, window.remoteTarget());
    return QApplication::exec();
}
