#pragma once

#include "settings/SettingsStore.h"

// Typed access to the two switches that govern the clipboard engine.
//
// Both read as on unless the store holds a real Boolean false: a fresh installation cleans
// copies and leaves spreadsheet copies alone, and a value someone wrote by hand that is not a
// Boolean does not switch anything off. There is no cache: each read goes to the store, so a
// switch written by anyone takes effect at the engine's next look.
namespace TavoSettings {

inline const QString enabledKey = QStringLiteral("OTEnabled");
inline const QString skipTabularKey = QStringLiteral("OTSkipTabular");
inline const QString cleanedCountKey = QStringLiteral("OTCleanedCount");
inline const QString menuBarModeKey = QStringLiteral("OTMenuBarMode");
inline const QString onboardedKey = QStringLiteral("OTOnboarded");
inline const QString shownMessagesKey = QStringLiteral("OTShownMessages");
inline const QString deviceIdKey = QStringLiteral("OTDeviceId");
inline const QString lastCrashScanKey = QStringLiteral("OTLastCrashScan");

// The store handle, the same for the whole process.
const SettingsStore &defaults();

// Only the engine writes this switch, through TavoEngine::setEnabled, which also starts or
// stops its timer.
bool isEnabled();
void setEnabled(bool on);

bool skipTabular();
void setSkipTabular(bool on);

} // namespace TavoSettings
