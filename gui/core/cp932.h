// The Japanese-character tests of the profile checks. Text is UTF-8 (or
// QString) everywhere; the tests convert it to the Japanese double-byte code
// page through iconv and apply that code page's byte ranges, so a character
// counts as kana or kanji exactly when the original code page would say so.
#pragma once
#include <QString>
#include <string_view>

namespace velarn::cp932 {

// True when the text holds half-width katakana, hiragana, katakana or a
// double-byte character of the kanji levels 0 to 2 (full-width symbols,
// letters and digits belong to level 0). Characters the code page cannot
// represent are not counted: they are not kana or kanji.
bool has_kana_or_kanji(std::string_view utf8);
bool has_kana_or_kanji(const QString& text);

}  // namespace velarn::cp932
