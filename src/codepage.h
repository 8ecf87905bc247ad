// What code pages do to text: which characters a code page writes as
// something else (changesInCodePage, everywhere), the flags each code page
// allows (wideToCodePageFlags), whether a name survives the OEM code page's
// round trip (survivesOemCodePage, Windows), and decoding a console
// program's output (decodeConsoleOutput).
//
// cmd writes the uninstaller's clean-up script in the console's OEM code
// page and reads it back, so a name that does not survive that round trip
// names another folder when the uninstaller runs.
#pragma once

#include <QByteArray>
#include <QChar>
#include <QString>

#ifdef Q_OS_WIN
#include <qt_windows.h>

#include <string>
#endif

namespace {

// Characters that a code page writes as something else: cmd writes the
// clean-up script with `echo` in the console's OEM code page, whose best-fit
// tables turn "＼" (U+FF3C) into "\", "％" into "%", U+3000 into a blank and
// "…" into dots, so "Documents＼" would name "Documents" when the uninstaller
// runs. Yen and won signs stand in for "\" in the Japanese and Korean code
// pages. On Windows the OEM code page itself is asked as well
// (survivesOemCodePage); this is the part that holds on every system.
bool changesInCodePage(char32_t c)
{
    if (c == 0xA5 || c == 0x20A9)
        return true;
    if (c < 0x80)
        return false;
    if (QChar::isSpace(c)) // U+00A0, U+2000 to U+200A, U+3000 …
        return true;
    // A compatibility character whose plain form holds ASCII: fullwidth
    // forms, small forms, ligatures, superscripts, leaders.
    const QString plain = QString::fromUcs4(&c, 1).normalized(QString::NormalizationForm_KC);
    if (plain == QString::fromUcs4(&c, 1))
        return false;
    for (const QChar p : plain) {
        if (p.unicode() < 0x80)
            return true;
    }
    return false;
}

// The flags WideCharToMultiByte takes for a code page. Microsoft documents
// the call as failing when a code page without best-fit tables is given
// WC_NO_BEST_FIT_CHARS or a default-character argument: flags 0 for 42,
// 50220-50229, 52936, 57002-57011 and 65000, at most WC_ERR_INVALID_CHARS for
// 54936 and 65001 (the "Use Unicode UTF-8" setting), and no default-character
// arguments for either group. Where best fit exists it is turned off and
// used defaults are asked for, so that look-alikes are seen.
// MultiByteToWideChar's way back follows the same rule: MB_ERR_INVALID_CHARS
// is allowed for the second group and refused for the first.
struct CodePageFlags
{
    unsigned long flags = 0; // to the code page
    bool askUsedDefault = false;
    unsigned long backFlags = 0; // from it
};
constexpr unsigned long noBestFitChars = 0x400;  // WC_NO_BEST_FIT_CHARS
constexpr unsigned long errInvalidChars = 0x80;  // WC_ERR_INVALID_CHARS
constexpr unsigned long mbErrInvalidChars = 0x8; // MB_ERR_INVALID_CHARS

[[maybe_unused]] CodePageFlags wideToCodePageFlags(unsigned codePage)
{
    if (codePage == 65001 || codePage == 54936)
        return {errInvalidChars, false, mbErrInvalidChars};
    if (codePage == 42 || (codePage >= 50220 && codePage <= 50229) || codePage == 52936 ||
        (codePage >= 57002 && codePage <= 57011) || codePage == 65000)
        return {0, false, 0};
    return {noBestFitChars, true, mbErrInvalidChars};
}

// Whether cmd's `echo … > file` writes `text` into the clean-up script so
// that it reads back as the same text: no character missing from the OEM
// code page, none replaced by a look-alike. Unknown when Windows could not
// answer (a code page it cannot convert to): that says nothing of the name.
enum class CodePageAnswer { Survives, Changes, Unknown };

#ifdef Q_OS_WIN
// WideCharToMultiByte. The Windows checks put in its place one that holds
// the call to the contract Microsoft documents, where wine takes flags a
// code page does not allow.
#ifdef TAMBRIX_WIN32_CONTRACT_SEAMS
auto wideToCodePage = &WideCharToMultiByte;
#else
const auto wideToCodePage = &WideCharToMultiByte;
#endif

// Asks the code page itself, with the flags it allows.
CodePageAnswer survivesOemCodePage(const QString &text, UINT codePage)
{
    if (text.isEmpty())
        return CodePageAnswer::Survives;
    const std::wstring wide = text.toStdWString();
    const CodePageFlags how = wideToCodePageFlags(codePage);
    BOOL usedDefault = FALSE;
    BOOL *const askUsed = how.askUsedDefault ? &usedDefault : nullptr;
    // Lone surrogates are the only input these flags refuse: the name's own
    // fault. Any other failure is the call's.
    const auto failed = [] {
        return GetLastError() == ERROR_NO_UNICODE_TRANSLATION ? CodePageAnswer::Changes
                                                              : CodePageAnswer::Unknown;
    };
    const int size = wideToCodePage(codePage, how.flags, wide.data(), int(wide.size()), nullptr, 0,
                                    nullptr, askUsed);
    if (size <= 0)
        return failed();
    if (usedDefault)
        return CodePageAnswer::Changes;
    std::string bytes(size_t(size), '\0');
    if (wideToCodePage(codePage, how.flags, wide.data(), int(wide.size()), bytes.data(), size,
                       nullptr, askUsed) != size)
        return failed();
    if (usedDefault)
        return CodePageAnswer::Changes;
    const int back = MultiByteToWideChar(codePage, how.backFlags, bytes.data(), size, nullptr, 0);
    if (back <= 0)
        return failed();
    std::wstring again(size_t(back), L'\0');
    MultiByteToWideChar(codePage, how.backFlags, bytes.data(), size, again.data(), back);
    return again == wide ? CodePageAnswer::Survives : CodePageAnswer::Changes;
}

QString decodeCodePage(const QByteArray &bytes, UINT codePage)
{
    if (bytes.isEmpty())
        return QString();
    const int length =
        MultiByteToWideChar(codePage, 0, bytes.constData(), int(bytes.size()), nullptr, 0);
    if (length <= 0)
        return QString::fromLocal8Bit(bytes);
    std::wstring wide(size_t(length), L'\0');
    MultiByteToWideChar(codePage, 0, bytes.constData(), int(bytes.size()), wide.data(), length);
    return QString::fromStdWString(wide);
}
#endif

// A console program writes redirected output in the console's OEM code page
// (CP866 on Russian Windows), not in the ANSI code page (CP1251) that
// fromLocal8Bit assumes; decoded as ANSI, every Russian error is mojibake.
QString decodeConsoleOutput(const QByteArray &bytes)
{
#ifdef Q_OS_WIN
    return decodeCodePage(bytes, GetOEMCP());
#else
    return QString::fromLocal8Bit(bytes);
#endif
}

} // namespace
