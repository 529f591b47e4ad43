#include "plinth/vst3/Utf16.h"

#include <cstdint>

namespace plinth::vst3 {
namespace {

// Decodes one UTF-8 sequence at s; returns its length (0 at the end), with
// malformed bytes read as U+FFFD one byte at a time.
int DecodeUtf8(const unsigned char* s, char32_t& cp) {
  if (s[0] == 0) return 0;
  if (s[0] < 0x80) {
    cp = s[0];
    return 1;
  }
  int len = 0;
  char32_t v = 0;
  if ((s[0] & 0xE0) == 0xC0) {
    len = 2;
    v = s[0] & 0x1F;
  } else if ((s[0] & 0xF0) == 0xE0) {
    len = 3;
    v = s[0] & 0x0F;
  } else if ((s[0] & 0xF8) == 0xF0) {
    len = 4;
    v = s[0] & 0x07;
  } else {
    cp = 0xFFFD;
    return 1;
  }
  for (int i = 1; i < len; ++i) {
    if ((s[i] & 0xC0) != 0x80) {
      cp = 0xFFFD;
      return 1;
    }
    v = (v << 6) | (s[i] & 0x3F);
  }
  cp = v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF) ? 0xFFFD : v;
  return len;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

void CopyToUtf16(const char* utf8, Steinberg::char16* out, int capacity) {
  if (!out || capacity <= 0) return;
  int n = 0;
  const auto* s = reinterpret_cast<const unsigned char*>(utf8 ? utf8 : "");
  for (;;) {
    char32_t cp = 0;
    const int len = DecodeUtf8(s, cp);
    if (len == 0) break;
    const int units = cp >= 0x10000 ? 2 : 1;
    if (n + units > capacity - 1) break;
    if (units == 2) {
      const char32_t v = cp - 0x10000;
      out[n++] = static_cast<Steinberg::char16>(0xD800 + (v >> 10));
      out[n++] = static_cast<Steinberg::char16>(0xDC00 + (v & 0x3FF));
    } else {
      out[n++] = static_cast<Steinberg::char16>(cp);
    }
    s += len;
  }
  out[n] = 0;
}

std::string FromUtf16(const Steinberg::char16* text, int capacity) {
  std::string out;
  if (!text) return out;
  for (int i = 0; i < capacity && text[i] != 0; ++i) {
    char32_t cp = static_cast<uint16_t>(text[i]);
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < capacity) {
      const char32_t lo = static_cast<uint16_t>(text[i + 1]);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
        ++i;
      } else {
        cp = 0xFFFD;
      }
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

}  // namespace plinth::vst3
