// One registry key of the current user. On Windows it is the real key; on
// other systems the key is kept as a file in regedit's export format, so the
// value names, types, contents and their order stay observable.
#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>

#ifdef Q_OS_WIN
#include <QSettings>
#else
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QStringList>
#endif

namespace {

struct RegistryValue
{
    enum Type { String, Dword };
    QString name;
    Type type = String;
    QString text;
    quint32 number = 0;

    static RegistryValue string(const QString &name, const QString &text)
    {
        return {name, String, text, 0};
    }
    static RegistryValue dword(const QString &name, quint32 number)
    {
        return {name, Dword, QString(), number};
    }
};

#ifdef Q_OS_WIN

class RegistryKey
{
public:
    explicit RegistryKey(const QString &path) : settings(path, QSettings::NativeFormat) {}
    void set(const RegistryValue &value)
    {
        if (value.type == RegistryValue::Dword)
            settings.setValue(value.name, int(value.number)); // stored as REG_DWORD
        else
            settings.setValue(value.name, value.text); // stored as REG_SZ
    }
    bool sync()
    {
        settings.sync();
        return settings.status() == QSettings::NoError;
    }

private:
    QSettings settings;
};

#else

// "HKEY_CURRENT_USER\A\B\C" is the file
// <generic config>/TambrixSetup/registry/HKEY_CURRENT_USER/A/B/C.reg, in
// UTF-16LE with a byte-order mark and CR LF line ends, as regedit exports it.
QString registryKeyFile(const QString &keyPath)
{
    QString relative = keyPath;
    relative.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QLatin1String("/TambrixSetup/registry/") + relative + QLatin1String(".reg");
}

QString regQuote(const QString &text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    quoted.replace(QLatin1Char('"'), QLatin1String("\\\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString regValueData(const RegistryValue &value)
{
    if (value.type == RegistryValue::Dword)
        return QStringLiteral("dword:%1").arg(value.number, 8, 16, QLatin1Char('0'));
    return regQuote(value.text);
}

struct RegFileEntry
{
    QString name; // as written before '=', quotes included ("Name" or @)
    QString data; // everything after '=', continuation lines included
};

// Reads the values of a key file, keeping the text of each value as it
// stands so that values written by others survive a rewrite unchanged.
QList<RegFileEntry> readRegFile(const QString &fileName)
{
    QList<RegFileEntry> entries;
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return entries;
    QStringDecoder decoder(QStringDecoder::Utf16LE, QStringDecoder::Flag::Stateless);
    QString text = decoder(file.readAll());
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    const QStringList lines = text.split(QStringLiteral("\r\n"));
    bool inKey = false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString &line = lines.at(i);
        if (line.startsWith(QLatin1Char('['))) {
            inKey = true;
            continue;
        }
        if (!inKey || line.isEmpty())
            continue;
        qsizetype nameEnd = -1;
        if (line.startsWith(QLatin1String("@="))) {
            nameEnd = 1;
        } else if (line.startsWith(QLatin1Char('"'))) {
            for (qsizetype j = 1; j < line.size(); ++j) {
                if (line.at(j) == QLatin1Char('\\')) {
                    ++j;
                } else if (line.at(j) == QLatin1Char('"')) {
                    nameEnd = j + 1;
                    break;
                }
            }
        }
        if (nameEnd < 0 || nameEnd >= line.size() || line.at(nameEnd) != QLatin1Char('='))
            continue;
        RegFileEntry entry{line.left(nameEnd), line.mid(nameEnd + 1)};
        // hex:... values wrap onto further lines ending in a backslash.
        while (!entry.data.startsWith(QLatin1Char('"')) && entry.data.endsWith(QLatin1Char('\\')) &&
               i + 1 < lines.size())
            entry.data += QLatin1String("\r\n") + lines.at(++i);
        entries.append(entry);
    }
    return entries;
}

class RegistryKey
{
public:
    explicit RegistryKey(const QString &path)
        : keyPath(path), fileName(registryKeyFile(path)), entries(readRegFile(fileName))
    {}

    // Replaces a value in place, or appends it, leaving every other value as it was.
    void set(const RegistryValue &value)
    {
        const QString name = regQuote(value.name);
        const QString data = regValueData(value);
        for (RegFileEntry &entry : entries) {
            if (entry.name.compare(name, Qt::CaseInsensitive) == 0) {
                entry.name = name;
                entry.data = data;
                return;
            }
        }
        entries.append({name, data});
    }

    bool sync()
    {
        QString text =
            QStringLiteral("Windows Registry Editor Version 5.00\r\n\r\n[%1]\r\n").arg(keyPath);
        for (const RegFileEntry &entry : entries)
            text += entry.name + QLatin1Char('=') + entry.data + QLatin1String("\r\n");
        text += QLatin1String("\r\n");

        QByteArray bytes("\xFF\xFE", 2);
        for (const QChar c : std::as_const(text)) {
            bytes.append(char(c.unicode() & 0xFF));
            bytes.append(char(c.unicode() >> 8));
        }
        QDir().mkpath(QFileInfo(fileName).absolutePath());
        // Whole or not at all, as a registry write would be.
        QSaveFile out(fileName);
        return out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size() && out.commit();
    }

private:
    QString keyPath;
    QString fileName;
    QList<RegFileEntry> entries;
};

#endif

// What other programs declared in the registry, read only: the subkeys of a
// key and its string values by name ("HKEY_CURRENT_USER\\A\\B" paths). A
// seam, so that the rules built on it can be tried with a registry of the
// test's own.
struct RegistryView
{
    std::function<QStringList(const QString &key)> subkeys;
    std::function<QMap<QString, QString>(const QString &key)> values;
};

#ifdef Q_OS_WIN
RegistryView systemRegistry()
{
    return {
        [](const QString &key) { return QSettings(key, QSettings::NativeFormat).childGroups(); },
        [](const QString &key) {
            QSettings settings(key, QSettings::NativeFormat);
            QMap<QString, QString> values;
            for (const QString &name : settings.childKeys())
                values.insert(name, settings.value(name).toString());
            return values;
        }};
}
#else
// The stand-in's keys: a key with values is a .reg file, one with subkeys a
// folder of the same name, below the folder of every key.
RegistryView systemRegistry()
{
    return {[](const QString &key) {
                const QString folder = registryKeyFile(key).chopped(4);
                QStringList names;
                for (const QFileInfo &entry :
                     QDir(folder).entryInfoList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot)) {
                    const QString name =
                        entry.isDir() ? entry.fileName() : entry.completeBaseName();
                    if ((entry.isDir() || entry.suffix() == QLatin1String("reg")) &&
                        !names.contains(name))
                        names << name;
                }
                return names;
            },
            [](const QString &key) {
                const auto unquote = [](const QString &text) {
                    QString plain;
                    for (qsizetype i = 1; i + 1 < text.size(); ++i) {
                        if (text.at(i) == QLatin1Char('\\'))
                            ++i;
                        plain += text.at(i);
                    }
                    return plain;
                };
                QMap<QString, QString> values;
                for (const RegFileEntry &entry : readRegFile(registryKeyFile(key))) {
                    if (entry.name.startsWith(QLatin1Char('"')) &&
                        entry.data.startsWith(QLatin1Char('"')))
                        values.insert(unquote(entry.name), unquote(entry.data));
                }
                return values;
            }};
}
#endif

} // namespace
