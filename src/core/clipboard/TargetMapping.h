#pragma once

#include <QStringList>

// How the names that X11 clipboard owners give their targets map onto the engine's type
// identifiers.
namespace TargetMapping {

// The identifiers of an owner's targets, each once at its first place, in the owner's order;
// the selection protocol's own targets (TARGETS, MULTIPLE, TIMESTAMP…) are left out.
QStringList identifiersForFormats(const QStringList &formats);

} // namespace TargetMapping
