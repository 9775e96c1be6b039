#pragma once

#include <QString>

#include <optional>

// What dpkg knows about the package that installed the running binary. Read from dpkg's own
// database files rather than by running dpkg-query, so that finding out costs one failed open when
// the binary did not come from a package.
struct InstalledPackage
{
    QString name;
    QString version; // as dpkg writes it: [epoch:]upstream[-revision]

    // The upstream part of the version, the one releases are numbered by.
    QString upstreamVersion() const;

    // The package `name`, when dpkg has it installed and lists `binary` among its files. The
    // binary's path is the resolved one (QCoreApplication::applicationFilePath()), as dpkg
    // lists it under /usr even where /bin leads there.
    static std::optional<InstalledPackage> owning(const QString &binary, const QString &name,
        const QString &dpkgFolder = QStringLiteral("/var/lib/dpkg"));
};
