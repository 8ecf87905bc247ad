// Builds zip archives entry by entry, hostile ones included (names with "..",
// absolute names, symlinks), which the zip command will not write.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <archive.h>
#include <archive_entry.h>

namespace testzip {

struct Entry
{
    QByteArray name;
    QByteArray content;
    enum Type { File, Folder, Symlink } type = File;
    int mode = 0644;
    QByteArray linkTarget;
};

inline Entry makeFile(const QByteArray &name, const QByteArray &content, int mode = 0644)
{
    return {name, content, Entry::File, mode, {}};
}

inline Entry makeFolder(const QByteArray &name)
{
    return {name, {}, Entry::Folder, 0755, {}};
}

inline Entry makeSymlink(const QByteArray &name, const QByteArray &target)
{
    return {name, {}, Entry::Symlink, 0777, target};
}

inline bool write(const QString &zipPath, const QList<Entry> &entries)
{
    archive *a = archive_write_new();
    archive_write_set_format_zip(a);
    archive_write_set_options(a, "hdrcharset=UTF-8");
    bool ok = archive_write_open_filename(a, QFile::encodeName(zipPath).constData()) == ARCHIVE_OK;
    for (const Entry &e : entries) {
        if (!ok)
            break;
        archive_entry *entry = archive_entry_new();
        archive_entry_set_pathname_utf8(entry, e.name.constData());
        switch (e.type) {
        case Entry::File:
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_size(entry, e.content.size());
            break;
        case Entry::Folder:
            archive_entry_set_filetype(entry, AE_IFDIR);
            break;
        case Entry::Symlink:
            archive_entry_set_filetype(entry, AE_IFLNK);
            archive_entry_set_symlink_utf8(entry, e.linkTarget.constData());
            break;
        }
        archive_entry_set_perm(entry, mode_t(e.mode));
        ok = archive_write_header(a, entry) == ARCHIVE_OK;
        if (ok && e.type == Entry::File && !e.content.isEmpty())
            ok = archive_write_data(a, e.content.constData(), size_t(e.content.size())) ==
                 e.content.size();
        archive_entry_free(entry);
    }
    ok = archive_write_close(a) == ARCHIVE_OK && ok;
    archive_write_free(a);
    return ok;
}

} // namespace testzip
