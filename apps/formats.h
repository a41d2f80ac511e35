// Text that other programs parse: escaping for JSON, CSV and XML, subtitle
// timestamps, and the SRT and WebVTT files of a list of segments.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "segments.h"

// "en", ... from the library's table; "?" outside it.
const char *language_name(int language);

// Valid UTF-8 of `text`: each byte that does not belong to a well-formed
// sequence becomes U+FFFD, so a file name never breaks the output's encoding.
std::string valid_utf8(const std::string &text);

// A JSON string literal, quotes included.
std::string json_string(const std::string &text);
// A CSV field: quoted (quotes doubled) when it holds a comma, quote or line break.
std::string csv_field(const std::string &text);
// Text for XML content or attribute values.
std::string xml_text(const std::string &text);

// "HH:MM:SS,mmm" (SRT) or "HH:MM:SS.mmm" (WebVTT), rounded to the millisecond.
std::string subtitle_time(double seconds, char separator);

void write_srt(std::FILE *out, const std::vector<Segment> &segments);
void write_vtt(std::FILE *out, const std::vector<Segment> &segments);
