// The stand-in's script recogniser, two ways:
//  - any bytes as a script: no crash;
//  - any values, escaped by the installer and put into each template: the
//    stand-in recognises the script and reads back exactly those values. A
//    quote the installer forgot to double would end a literal early here,
//    as it would in PowerShell.
#include "powershell.h"
#include "script.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    (void)standin::recogniseScript(bytes);

    // Four values separated by NUL bytes, taken as UTF-8 (invalid sequences
    // become U+FFFD, as in any QString).
    QStringList values = QString::fromUtf8(bytes.data(), qsizetype(bytes.size())).split(QChar(0));
    while (values.size() < 4)
        values << QString();
    for (const standin::Template &candidate : standin::knownTemplates()) {
        const QString text = QString::fromLatin1(candidate.text);
        const QString script =
            candidate.kind == standin::ScriptKind::Shortcut
                ? text.arg(escapePowerShellLiteral(values[0]), escapePowerShellLiteral(values[1]),
                           escapePowerShellLiteral(values[2]), escapePowerShellLiteral(values[3]))
                : text.arg(escapePowerShellLiteral(values[0]), escapePowerShellLiteral(values[1]));
        const auto matched = standin::recogniseScript(script.toStdString());
        if (!matched || matched->kind != candidate.kind)
            std::abort();
        for (size_t i = 0; i < matched->values.size(); ++i) {
            if (QString::fromStdString(matched->values[i]) != values[int(i)])
                std::abort();
        }
    }
    return 0;
}
