// SPDX-License-Identifier: Apache-2.0
// text.cpp -- what dialogs show of outside text: one harmless line, the
// site's words in quotes they cannot close, a site cut where it stays
// recognisable, and the Assuan form of every argument.
//
// A text from a page or a certificate must not be able to look like the
// dialog's own text. Every character that breaks a line, reorders the
// characters around it or is invisible (Unicode's Cc, Cf, Zl and Zp
// categories: line and paragraph separators, NEL, direction controls and
// isolates, zero-width characters, soft hyphens, tag characters, ...)
// becomes a space, so that the text stays on the line, in the order, it is
// shown in; bytes that are not UTF-8 become U+FFFD.
#include "helm.h"

#include <cstring>

namespace {
struct Range {
  unsigned first;
  unsigned last;
};
}  // namespace

// Unicode 15.0's Cc, Cf, Zl and Zp code points (surrogates cannot reach
// here: they are not UTF-8). Sorted for the binary search.
static const Range kBreaking[] = {
    {0x0000, 0x001F},   {0x007F, 0x009F},   {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},
    {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},
    {0x200B, 0x200F},   {0x2028, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},
    {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3},
    {0x1D173, 0x1D17A}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
};

// Characters a reader takes for a double quote: the page's words may not
// end the quotes they are shown in.
static const unsigned kQuotes[] = {
    0x0022, 0x00AB, 0x00BB, 0x02BA, 0x02DD, 0x02EE, 0x030B, 0x030E, 0x201C, 0x201D, 0x201E, 0x201F,
    0x2033, 0x2036, 0x275D, 0x275E, 0x2760, 0x276E, 0x276F, 0x2E42, 0x301D, 0x301E, 0x301F, 0xFF02,
};

bool HelmText_BreaksLine(unsigned cp) {
  size_t low = 0, high = sizeof kBreaking / sizeof kBreaking[0];
  while (low < high) {
    size_t middle = (low + high) / 2;
    if (cp < kBreaking[middle].first) {
      high = middle;
    } else if (cp > kBreaking[middle].last) {
      low = middle + 1;
    } else {
      return true;
    }
  }
  return false;
}

bool HelmText_IsQuote(unsigned cp) {
  for (unsigned q : kQuotes) {
    if (q == cp) return true;
  }
  return false;
}

static unsigned decodeUtf8(const unsigned char* p, size_t n) {
  if (n == 1) return p[0];
  unsigned value = p[0] & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
  for (size_t i = 1; i < n; i++) value = (value << 6) | (p[i] & 0x3F);
  return value;
}

// One line of at most maxBytes; quote characters become apostrophes when
// noQuotes is set.
static std::string oneLine(const char* text, size_t length, size_t maxBytes, bool noQuotes) {
  static const char kEllipsis[] = "\xe2\x80\xa6";
  static const char kReplacement[] = "\xef\xbf\xbd";
  std::string out;
  if (text == nullptr || maxBytes < sizeof kEllipsis) return out;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  while (i < length) {
    size_t n = Helm_Utf8Sequence(p + i, length - i);
    std::string piece;
    if (n == 0) {
      piece = kReplacement;
      n = 1;
    } else {
      unsigned cp = decodeUtf8(p + i, n);
      if (HelmText_BreaksLine(cp)) {
        piece = " ";
      } else if (noQuotes && HelmText_IsQuote(cp)) {
        piece = "'";
      } else {
        piece.assign(text + i, n);
      }
    }
    // Room for the piece, and for the ellipsis should more follow.
    bool last = i + n >= length;
    size_t reserve = last ? 0 : sizeof kEllipsis - 1;
    if (out.size() + piece.size() + reserve > maxBytes) {
      if (out.size() + piece.size() <= maxBytes && last) {
        out += piece;
      } else {
        while (out.size() + sizeof kEllipsis - 1 > maxBytes) {
          // Step back over whole characters.
          size_t cut = out.size() - 1;
          while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) cut--;
          out.resize(cut);
        }
        out += kEllipsis;
      }
      return out;
    }
    out += piece;
    i += n;
  }
  return out;
}

std::string HelmDialog_Line(const char* text, size_t length, size_t maxBytes) {
  return oneLine(text, length, maxBytes, false);
}

std::string HelmDialog_Quoted(const char* text, size_t length, size_t maxBytes) {
  return "\"" + oneLine(text, length, maxBytes, true) + "\"";
}

std::string HelmDialog_Site(const std::string& origin, size_t maxBytes) {
  // Origins are checked ASCII, so bytes are characters here.
  std::string site = HelmDialog_Line(origin.data(), origin.size(), origin.size() + 3);
  if (site.size() <= maxBytes || maxBytes < 12) return site;
  size_t head = (maxBytes - 3) / 3;
  size_t tail = maxBytes - 3 - head;
  return site.substr(0, head) + "\xe2\x80\xa6" + site.substr(site.size() - tail);
}

std::string HelmDialog_Escape(const std::string& text, size_t maxBytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = p[i];
    char unit[4];
    size_t unitLength;
    size_t consumed = 1;
    if (c == '%' || c < 0x20) {
      unit[0] = '%';
      unit[1] = kHex[c >> 4];
      unit[2] = kHex[c & 15];
      unitLength = 3;
    } else {
      size_t n = Helm_Utf8Sequence(p + i, text.size() - i);
      consumed = n == 0 ? 1 : n;
      memcpy(unit, p + i, consumed);
      unitLength = consumed;
    }
    if (out.size() + unitLength > maxBytes) break;
    out.append(unit, unitLength);
    i += consumed;
  }
  return out;
}
