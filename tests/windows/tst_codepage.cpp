// PowerShell's error text on Windows: a console program writes redirected
// output in the console's OEM code page (CP866 on Russian Windows), so that
// is the code page the installer decodes with. Runs under wine (or Windows);
// exit code 0 when every check holds.
#include "powershell.h"

#include <cstdio>

namespace {

int failures = 0;

void check(bool ok, const char *what)
{
    std::printf("  %s: %s\n", ok ? "ok" : "FAILED", what);
    if (!ok)
        ++failures;
}

} // namespace

int main()
{
    // "Remove-Item : Доступ к пути "C:\Тест" запрещён." as CP866 writes it.
    const QByteArray cp866("\x52\x65\x6d\x6f\x76\x65\x2d\x49\x74\x65\x6d\x20\x3a\x20\x84\xae\xe1"
                           "\xe2\xe3\xaf\x20\xaa\x20\xaf\xe3\xe2\xa8\x20\x22\x43\x3a\x5c\x92\xa5"
                           "\xe1\xe2\x22\x20\xa7\xa0\xaf\xe0\xa5\xe9\xf1\xad\x2e");
    const QString expected = QStringLiteral("Remove-Item : Доступ к пути \"C:\\Тест\" запрещён.");
    check(decodeCodePage(cp866, 866) == expected, "CP866 bytes decode to the Russian text");
    check(decodeCodePage(cp866, 1251) != expected,
          "decoded as ANSI (CP1251) the same bytes are not that text");
    check(decodeConsoleOutput(cp866) == decodeCodePage(cp866, GetOEMCP()),
          "standard error is decoded with the OEM code page");
    check(decodeCodePage(QByteArray(), 866).isEmpty(), "nothing decodes to nothing");
    std::printf("codepage: %s (OEM code page here: %u)\n", failures ? "FAILED" : "passed",
                GetOEMCP());
    return failures ? 1 : 0;
}
