#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The file through which a quitting copy hands its last clean copy to the keeper, the same
// program started as `program --keep-clipboard FILE SINCE`. It is made for that alone: one 0600
// regular file in a 0700 folder of ours named "orvanetavo-keep-…" in the temporary folder.
//
// The keeper deletes the file it reads and puts its text on the clipboard, so it takes no other:
// a command line naming any file of the user's would otherwise delete it and publish it. The
// check knows nothing of the display and comes before any clipboard work.
class KeeperFile
{
public:
    static constexpr auto option = "--keep-clipboard";
    // As large as the largest copy the engine ever holds.
    static constexpr qint64 maxBytes = qint64(128) << 20;

    // Writes `bytes` to a new private file: its path, or an empty string on failure.
    static QString write(const QByteArray &bytes);
    // Removes the file and its folder.
    static void remove(const QString &path);

    struct Handed
    {
        QByteArray text;
        quint32 since = 0;
    };
    // The keeper's arguments `program --keep-clipboard FILE SINCE`: FILE's content and SINCE,
    // once FILE proved to be one that `write` made; it is then removed with its folder. Nothing
    // for anything else, which is left as it is, with `error` saying why.
    static std::optional<Handed> take(int argc, char *argv[], QString *error);
};
