// Kana and kanji tests through iconv's CP932 converter.
#include "cp932.h"

#include <iconv.h>

#include <cerrno>
#include <mutex>

namespace velarn::cp932 {
namespace {

// Single-byte half-width katakana (and the half-width punctuation beside it).
bool single_kana(unsigned char c) { return c >= 0xA1 && c <= 0xDF; }

bool lead_byte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// Levels 0 to 2 run from the first full-width symbol to the last level-2
// kanji; hiragana (0x829F..0x82F1) and katakana (0x8340..0x8396) lie inside.
bool kanji_level_0_to_2(unsigned code) {
  unsigned trail = code & 0xFF;
  bool good_trail = trail >= 0x40 && trail <= 0xFC && trail != 0x7F;
  return good_trail && code >= 0x8140 && code <= 0xEA9E;
}

// Returns true as soon as the converted bytes hold kana or kanji. A lead byte
// may end one chunk and its trail byte begin the next, so it is carried over.
bool scan(const unsigned char* p, size_t n, int& pending_lead) {
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = p[i];
    if (pending_lead >= 0) {
      if (kanji_level_0_to_2((unsigned(pending_lead) << 8) | c)) return true;
      pending_lead = -1;
    } else if (lead_byte(c)) {
      pending_lead = c;
    } else if (single_kana(c)) {
      return true;
    }
  }
  return false;
}

size_t utf8_sequence_length(unsigned char c) {
  if (c < 0x80) return 1;
  if ((c & 0xE0) == 0xC0) return 2;
  if ((c & 0xF0) == 0xE0) return 3;
  if ((c & 0xF8) == 0xF0) return 4;
  return 1;
}

}  // namespace

bool has_kana_or_kanji(std::string_view utf8) {
  bool ascii = true;
  for (unsigned char c : utf8) ascii = ascii && c < 0x80;
  if (ascii) return false;

  // iconv_open is not cheap and the checks run over dozens of fields.
  static std::mutex mutex;
  static iconv_t cd = iconv_open("CP932", "UTF-8");
  if (cd == iconv_t(-1)) return false;
  std::lock_guard<std::mutex> lock(mutex);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);

  char* in = const_cast<char*>(utf8.data());
  size_t in_left = utf8.size();
  int pending_lead = -1;
  while (in_left > 0) {
    char buf[256];
    char* out = buf;
    size_t out_left = sizeof buf;
    size_t rc = iconv(cd, &in, &in_left, &out, &out_left);
    int err = rc == size_t(-1) ? errno : 0;
    if (scan(reinterpret_cast<unsigned char*>(buf), size_t(out - buf), pending_lead)) return true;
    if (err == E2BIG) continue;
    if (err == EILSEQ || err == EINVAL) {
      // Not in the code page (or cut short): skip that one character.
      size_t skip = utf8_sequence_length(static_cast<unsigned char>(*in));
      if (skip > in_left) skip = in_left;
      in += skip;
      in_left -= skip;
      pending_lead = -1;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      continue;
    }
    if (err != 0) return false;
  }
  return false;
}

bool has_kana_or_kanji(const QString& text) {
  QByteArray utf8 = text.toUtf8();
  return has_kana_or_kanji(std::string_view(utf8.constData(), size_t(utf8.size())));
}

}  // namespace velarn::cp932
