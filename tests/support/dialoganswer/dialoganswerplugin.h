#ifndef DIALOGANSWERPLUGIN_H
#define DIALOGANSWERPLUGIN_H

#include <QGenericPlugin>

// A Qt generic plug-in for tests of the real MoravelUpdater executable: started with
//   QT_PLUGIN_PATH=<dir holding generic/>  QT_QPA_GENERIC_PLUGINS=zrdialoganswer
// it puts a DialogAnswerer into the process, which answers the updater's dialogs the
// way a person would and writes down what each one showed. The executable itself is
// not changed in any way.
class DialogAnswerPlugin : public QGenericPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "dialoganswer.json")

public:
    QObject* create(const QString& key, const QString& options) override;
};

#endif // DIALOGANSWERPLUGIN_H
