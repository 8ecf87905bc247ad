// Writes the installer's four PowerShell scripts, built by the installer's own
// functions, for a table of hostile values or for random ones, as JSON lines
// for check-scripts.ps1: {"kind", "values", "script", "plain"}, where "plain"
// is the same script filled with PLAIN1, PLAIN2, … in place of the values.
//
//   scriptgen table
//   scriptgen random COUNT SEED
//   scriptgen script KIND VALUE…     one script as text, for the benchmarks
#include "installer.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include <cstdio>
#include <random>

namespace {

QStringList hostileValues()
{
    QStringList values;
    // Every character that means something to PowerShell, cmd or Windows paths.
    for (const char16_t c :
         {u'\'',     u'\u2018', u'\u2019', u'\u201A', u'\u201B', u'"',      u'\u201C', u'\u201D',
          u'\u201E', u'`',      u'$',      u';',      u'&',      u'|',      u'<',      u'>',
          u'#',      u'%',      u'[',      u']',      u'*',      u'?',      u'~',      u',',
          u'(',      u')',      u'{',      u'}',      u'@',      u'\t',     u'\r',     u'\n',
          u'\u0085', u'\u2028', u'\u2029', u'\u202E', u'\u200D', u'\u00A0', u'\u3000', u'\u0301'}) {
        const QString ch(QChar{c});
        values << ch << QStringLiteral("C:/Users/u/a") + ch + QStringLiteral("b");
    }
    values << QStringLiteral("$(Remove-Item -Recurse C:/)") << QStringLiteral("${env:PATH}")
           << QStringLiteral("@(1,2)") << QStringLiteral("a && b") << QStringLiteral("a || b")
           << QStringLiteral("<# comment #>") << QStringLiteral("#>") << QStringLiteral("-Force")
           << QStringLiteral("--") << QStringLiteral("-LiteralPath x") << QStringLiteral("   ")
           << QStringLiteral(" leading and trailing ") << QStringLiteral("'; Remove-Item x; '")
           << QStringLiteral("’; Remove-Item x; ‘") << QStringLiteral("''") << QStringLiteral("'''")
           << QStringLiteral("‘’‚‛") << QStringLiteral("a''b") << QStringLiteral("%1 %2 %3 %4")
           << QStringLiteral("C:\\Program Files (x86)\\Team's [Apps]")
           << QStringLiteral("\\\\server\\share\\O’Brien")
           << QStringLiteral("C:/Users/Пётр/AppData/Local/Программы")
           << QString::fromUtf16(u"\U0001F600 emoji \U00010348") << QStringLiteral("e\u0301\u0301")
           << QStringLiteral("\u202Eexe.txt") << QStringLiteral("line\r\nbreak")
           << QStringLiteral("C:/") + QString(300, QLatin1Char('x'))
           << QStringLiteral("C:/a b/$x/`t/'q'/\u2019/%PATH%/[1]/*/?") << QString();
    return values;
}

QString randomValue(std::mt19937 &random)
{
    static const QString special = QStringLiteral(
        "'\u2018\u2019\u201A\u201B\"\u201C\u201D\u201E`$;&|<>#%[]*?~,(){}@-\t\r\n\u0085\u2028"
        "\u2029\u202E\u200D /\\:.aZ09");
    std::uniform_int_distribution<int> length(0, 24);
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_int_distribution<int> pick(0, int(special.size()) - 1);
    std::uniform_int_distribution<int> bmp(0x20, 0xD7FF);
    std::uniform_int_distribution<int> astral(0x10000, 0x10FFFF);
    QString value;
    for (int n = length(random); n > 0; --n) {
        const int k = kind(random);
        if (k < 7) {
            value += special.at(pick(random));
        } else if (k < 9) {
            value += QChar(char16_t(bmp(random)));
        } else {
            const char32_t c = char32_t(astral(random));
            value += QString::fromUcs4(&c, 1);
        }
    }
    return value;
}

struct Kind
{
    const char *name;
    int placeholders;
    QString (*build)(const QStringList &);
};

const Kind kinds[] = {
    {"extract", 2,
     [](const QStringList &v) {
         return extractScript(v[0], v[1]);
     }},
    {"copy", 2,
     [](const QStringList &v) {
         return copyScript(v[0], v[1]);
     }},
    {"move", 2,
     [](const QStringList &v) {
         return moveScript(v[0], v[1]);
     }},
    {"shortcut", 4,
     [](const QStringList &v) {
         return shortcutScript(v[0], v[1], v[2], v[3]);
     }},
};

void writeCase(QTextStream &out, const Kind &kind, const QStringList &values)
{
    QStringList plain;
    for (int i = 1; i <= kind.placeholders; ++i)
        plain << QStringLiteral("PLAIN%1").arg(i);
    const QStringList used = values.mid(0, kind.placeholders);
    const QJsonObject line{{QStringLiteral("kind"), QLatin1String(kind.name)},
                           {QStringLiteral("values"), QJsonArray::fromStringList(used)},
                           {QStringLiteral("script"), kind.build(used)},
                           {QStringLiteral("plain"), kind.build(plain)}};
    out << QJsonDocument(line).toJson(QJsonDocument::Compact) << '\n';
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QTextStream out(stdout);
    out.setEncoding(QStringConverter::Utf8);
    if (args.value(1) == QLatin1String("table")) {
        const QStringList values = hostileValues();
        // Each value in every place of every script, the others plain.
        for (const Kind &kind : kinds) {
            for (const QString &value : values) {
                for (int at = 0; at < kind.placeholders; ++at) {
                    QStringList filled{QStringLiteral("C:/a"), QStringLiteral("C:/b"),
                                       QStringLiteral("C:/c"), QStringLiteral("C:/d,0")};
                    filled[at] = value;
                    writeCase(out, kind, filled);
                }
            }
        }
        return 0;
    }
    if (args.value(1) == QLatin1String("random") && args.size() == 4) {
        const long count = args.at(2).toLong();
        std::mt19937 random(args.at(3).toUInt());
        for (long i = 0; i < count; ++i) {
            const Kind &kind = kinds[i % 4];
            QStringList values;
            for (int p = 0; p < 4; ++p)
                values << randomValue(random);
            writeCase(out, kind, values);
        }
        return 0;
    }
    if (args.value(1) == QLatin1String("script") && args.size() >= 3) {
        for (const Kind &kind : kinds) {
            if (args.at(2) == QLatin1String(kind.name) && args.size() == 3 + kind.placeholders) {
                out << kind.build(args.mid(3));
                return 0;
            }
        }
    }
    std::fprintf(stderr, "usage: scriptgen table | scriptgen random COUNT SEED | scriptgen "
                         "script KIND VALUE...\n");
    return 2;
}
