// Recognising the installer's PowerShell scripts.
//
// The stand-in runs a script only when it is one of four known templates with
// every placeholder filled by a single-quoted string literal. Literals are
// lexed the way PowerShell's tokenizer lexes them: U+0027 and the typographic
// quotes U+2018, U+2019, U+201A and U+201B all open and close a literal, and
// two quote characters in a row stand for the second one. A value that was
// escaped only for U+0027 and holds a typographic quote therefore ends its
// literal early here, exactly as it would on Windows, and the rest of the
// script no longer matches: refused.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace standin {

enum class ScriptKind { ExpandArchive, Copy, Move, Shortcut };

struct Template
{
    ScriptKind kind;
    const char *text;
};

// Written out on their own, not shared with the installer: a change on either
// side must show up as a refused script.
inline const std::array<Template, 4> &knownTemplates()
{
    static const std::array<Template, 4> templates = {{
        {ScriptKind::ExpandArchive,
         "Expand-Archive -LiteralPath '%1' -DestinationPath '%2' -Force"},
        {ScriptKind::Copy,
         "if (Test-Path -LiteralPath '%1') {   Get-ChildItem -LiteralPath '%2' -Force | "
         "ForEach-Object {     $dest = Join-Path '%1' $_.Name;     if (Test-Path -LiteralPath "
         "$dest) { Remove-Item -LiteralPath $dest -Recurse -Force };     Copy-Item -LiteralPath "
         "$_.FullName -Destination $dest -Recurse -Force   } } else {   New-Item -ItemType "
         "Directory -Path '%1' -Force | Out-Null;   Copy-Item -Path (Join-Path '%2' '*') "
         "-Destination '%1' -Recurse -Force }"},
        {ScriptKind::Move,
         "Get-ChildItem -LiteralPath '%1' -Force | ForEach-Object {   Move-Item -LiteralPath "
         "$_.FullName -Destination '%2' -Force }; Remove-Item -LiteralPath '%1' -Recurse -Force "
         "-ErrorAction SilentlyContinue"},
        {ScriptKind::Shortcut,
         "$s = New-Object -ComObject WScript.Shell; $l = $s.CreateShortcut('%1'); $l.TargetPath "
         "= '%2'; $l.WorkingDirectory = '%3'; $l.IconLocation = '%4'; $l.Description = "
         "'Tambrix'; $l.Save()"},
    }};
    return templates;
}

inline bool isPowerShellQuote(char32_t c)
{
    return c == U'\'' || c == U'\u2018' || c == U'\u2019' || c == U'\u201A' || c == U'\u201B';
}

// Strict UTF-8 (no overlongs, no surrogates); nullopt on anything else.
inline std::optional<std::u32string> decodeUtf8(const std::string &bytes)
{
    std::u32string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        const auto b0 = static_cast<unsigned char>(bytes[i]);
        int extra = 0;
        char32_t cp = 0;
        char32_t min = 0;
        if (b0 < 0x80) {
            cp = b0;
        } else if ((b0 & 0xE0) == 0xC0) {
            extra = 1, cp = b0 & 0x1F, min = 0x80;
        } else if ((b0 & 0xF0) == 0xE0) {
            extra = 2, cp = b0 & 0x0F, min = 0x800;
        } else if ((b0 & 0xF8) == 0xF0) {
            extra = 3, cp = b0 & 0x07, min = 0x10000;
        } else {
            return std::nullopt;
        }
        if (i + extra >= bytes.size() && extra > 0)
            return std::nullopt;
        for (int k = 1; k <= extra; ++k) {
            const auto b = static_cast<unsigned char>(bytes[i + k]);
            if ((b & 0xC0) != 0x80)
                return std::nullopt;
            cp = (cp << 6) | (b & 0x3F);
        }
        if (extra > 0 && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)))
            return std::nullopt;
        out.push_back(cp);
        i += extra + 1;
    }
    return out;
}

inline std::string encodeUtf8(const std::u32string &text)
{
    std::string out;
    out.reserve(text.size());
    for (const char32_t c : text) {
        if (c < 0x80) {
            out.push_back(char(c));
        } else if (c < 0x800) {
            out.push_back(char(0xC0 | (c >> 6)));
            out.push_back(char(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(char(0xE0 | (c >> 12)));
            out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        } else {
            out.push_back(char(0xF0 | (c >> 18)));
            out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

struct MatchedScript
{
    ScriptKind kind;
    std::vector<std::string> values; // values[0] is %1, UTF-8
};

// Matches the script against one template. A placeholder is the four
// characters '%N' of the template; the script must hold a complete literal
// there, opened and closed by U+0027 as the template has it. Every
// occurrence of the same placeholder must carry the same value.
inline std::optional<std::vector<std::u32string>> matchTemplate(const std::u32string &script,
                                                                const char *templateText)
{
    std::vector<std::u32string> values;
    std::vector<bool> seen;
    size_t s = 0;
    for (const char *t = templateText; *t;) {
        if (t[0] == '\'' && t[1] == '%' && t[2] >= '1' && t[2] <= '9' && t[3] == '\'') {
            const size_t index = size_t(t[2] - '1');
            if (s >= script.size() || script[s] != U'\'')
                return std::nullopt;
            ++s;
            std::u32string value;
            bool closed = false;
            while (s < script.size()) {
                const char32_t c = script[s];
                if (isPowerShellQuote(c)) {
                    if (s + 1 < script.size() && isPowerShellQuote(script[s + 1])) {
                        value.push_back(script[s + 1]);
                        s += 2;
                        continue;
                    }
                    // The literal ends here; the template wants U+0027.
                    if (c != U'\'')
                        return std::nullopt;
                    ++s;
                    closed = true;
                    break;
                }
                value.push_back(c);
                ++s;
            }
            if (!closed)
                return std::nullopt;
            if (values.size() <= index) {
                values.resize(index + 1);
                seen.resize(index + 1, false);
            }
            if (seen[index] && values[index] != value)
                return std::nullopt;
            values[index] = value;
            seen[index] = true;
            t += 4;
            continue;
        }
        if (s >= script.size() || script[s] != char32_t(static_cast<unsigned char>(*t)))
            return std::nullopt;
        ++s;
        ++t;
    }
    if (s != script.size())
        return std::nullopt;
    for (const bool b : seen) {
        if (!b)
            return std::nullopt;
    }
    return values;
}

inline std::optional<MatchedScript> recogniseScript(const std::string &scriptBytes)
{
    const auto script = decodeUtf8(scriptBytes);
    if (!script)
        return std::nullopt;
    for (const Template &candidate : knownTemplates()) {
        if (auto values = matchTemplate(*script, candidate.text)) {
            MatchedScript matched{candidate.kind, {}};
            for (const auto &value : *values)
                matched.values.push_back(encodeUtf8(value));
            return matched;
        }
    }
    return std::nullopt;
}

// PowerShell reads a path given without -LiteralPath as a wildcard pattern:
// [ ] * ? in it are pattern characters, however the value was quoted.
inline bool holdsWildcard(const std::string &path)
{
    return path.find_first_of("[]*?") != std::string::npos;
}

} // namespace standin
