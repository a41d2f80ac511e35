#include "formats.h"

#include <cmath>

#include "qx_orb.h"

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// Length of the well-formed UTF-8 sequence at text[i], or 0.
size_t sequence_length(const std::string &text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // range of the first continuation byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

std::string caption(const Segment &segment) {
  char text[64];
  std::snprintf(text, sizeof text, "%s (%.2f)", language_name(segment.language),
                segment.probability);
  return text;
}

}  // namespace

const char *language_name(int language) {
  const char *name =
      language >= 0 ? qx_orb_language_to_string(static_cast<QxOrbLanguage>(language)) : nullptr;
  return name ? name : "?";
}

std::string valid_utf8(const std::string &text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t length = sequence_length(text, i);
    if (length == 0) {
      out += kReplacement;
      ++i;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  return out;
}

std::string json_string(const std::string &text) {
  std::string out = "\"";
  for (const char c : valid_utf8(text)) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(c));
          out += escape;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string csv_field(const std::string &text) {
  const std::string valid = valid_utf8(text);
  if (valid.find_first_of(",\"\r\n") == std::string::npos) return valid;
  std::string out = "\"";
  for (const char c : valid) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string xml_text(const std::string &text) {
  std::string out;
  for (const char c : valid_utf8(text)) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        // XML 1.0 has no way to write other control characters.
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') {
          out += kReplacement;
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string subtitle_time(double seconds, char separator) {
  const long long total = seconds > 0.0 ? std::llround(seconds * 1000.0) : 0;
  char text[48];
  std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld%c%03lld", total / 3600000,
                total / 60000 % 60, total / 1000 % 60, separator, total % 1000);
  return text;
}

void write_srt(std::FILE *out, const std::vector<Segment> &segments) {
  for (size_t i = 0; i < segments.size(); ++i) {
    std::fprintf(out, "%zu\n%s --> %s\n%s\n\n", i + 1,
                 subtitle_time(segments[i].start, ',').c_str(),
                 subtitle_time(segments[i].end, ',').c_str(), caption(segments[i]).c_str());
  }
}

void write_vtt(std::FILE *out, const std::vector<Segment> &segments) {
  std::fputs("WEBVTT\n\n", out);
  for (const Segment &segment : segments) {
    std::fprintf(out, "%s --> %s\n%s\n\n", subtitle_time(segment.start, '.').c_str(),
                 subtitle_time(segment.end, '.').c_str(), caption(segment).c_str());
  }
}
