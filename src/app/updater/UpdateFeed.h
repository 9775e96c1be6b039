#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QUrl>
#include <QVersionNumber>

#include <optional>

// One downloadable package of a release.
struct UpdatePackage
{
    QUrl url; // https only
    qint64 size = 0; // bytes, > 0
    QByteArray sha256; // 32 raw bytes: the SHA-256 of the whole file
    QByteArray signature; // 64 raw bytes: the makers' Ed25519 signature of the package's
                          // statement (UpdateVerifier::statement), not of the file itself
};

// The update feed: a small JSON document that names the newest release.
//
//   {
//     "version": "1.4.0",
//     "notes": "Plain-text release notes, shown as they are.",
//     "page": "https://orvanelabs.ch/orvanetavo",
//     "packages": {
//       "appimage": {"url": "https://…/OrvaneTavo-1.4.0-x86_64.AppImage",
//                    "size": 41234567,
//                    "sha256": "<64 hex digits>",
//                    "signature": "<base64 of 64 bytes>"},
//       "deb":      {"url": "https://…/orvanetavo_1.4.0_amd64.deb", "size": …, "sha256": "…",
//                    "signature": "…"}
//     }
//   }
//
// "version" and "notes" are required; "page" and each package are optional, but a package that
// is present must be complete and valid. Unknown keys are ignored.
//
// A package's signature covers a statement of its kind (the key it is listed under), the
// feed's version, its size and its SHA-256, never the file alone: a signed file cannot be
// offered as another version or as the other kind of package. scripts/sign-release.sh prints
// the size, SHA-256 and signature to put here.
struct UpdateFeed
{
    enum class PackageKind { AppImage, Deb };

    QVersionNumber version;
    QString versionText; // as written, for display
    bool preRelease = false; // the version carries a suffix such as "-beta.2"
    QString notes;
    QUrl page;
    QMap<PackageKind, UpdatePackage> packages;

    // "appimage" or "deb": the key in "packages" and the kind in the signed statement.
    static QString kindName(PackageKind kind);

    // Parses a feed; on failure returns nothing and says why in `error` (for logs, not users).
    static std::optional<UpdateFeed> parse(const QByteArray &json, QString *error = nullptr);
};
