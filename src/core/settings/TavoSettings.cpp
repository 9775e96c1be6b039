#include "settings/TavoSettings.h"

namespace TavoSettings {
namespace {

bool switchValue(const QString &key)
{
    const QVariant value = defaults().object(key);
    return value.typeId() == QMetaType::Bool ? value.toBool() : true;
}

} // namespace

const SettingsStore &defaults()
{
    static const SettingsStore store;
    return store;
}

bool isEnabled()
{
    return switchValue(enabledKey);
}

void setEnabled(bool on)
{
    defaults().setBool(enabledKey, on);
}

bool skipTabular()
{
    return switchValue(skipTabularKey);
}

void setSkipTabular(bool on)
{
    defaults().setBool(skipTabularKey, on);
}

} // namespace TavoSettings
