// qx-orb's segments, verdict and text formats, without audio or an engine.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "formats.h"
#include "segments.h"

namespace {

constexpr double kFrame = 2.048;
constexpr int kDe = 1, kEn = 2, kFr = 4;

int language_index(const std::string &name) {
  for (int l = 0; l < kLanguages; ++l) {
    if (name == language_name(l)) return l;
  }
  return -1;
}

// "en en . fr": one full frame per word, "." unvoiced; each voiced frame gives
// its language `p` and spreads the rest evenly.
std::vector<FrameResult> frames_of(const std::string &pattern, float p = 0.9f) {
  std::vector<FrameResult> frames;
  std::istringstream words(pattern);
  std::string word;
  while (words >> word) {
    FrameResult frame;
    frame.start = frames.size() * kFrame;
    frame.end = frame.start + kFrame;
    if (word != ".") {
      frame.voiced = true;
      frame.language = language_index(word);
      frame.scores.fill((1.0f - p) / (kLanguages - 1));
      frame.scores[frame.language] = p;
    }
    frames.push_back(frame);
  }
  return frames;
}

std::string describe(const std::vector<Segment> &segments) {
  std::string text;
  char piece[64];
  for (const Segment &s : segments) {
    std::snprintf(piece, sizeof piece, "%s%s %.3f-%.3f", text.empty() ? "" : ", ",
                  language_name(s.language), s.start, s.end);
    text += piece;
  }
  return text;
}

struct SegmentCase {
  const char *name;
  const char *frames;
  double min_segment, bridge_gap;
  const char *expected;
};

// Test names show the frames, not the struct's bytes.
void PrintTo(const SegmentCase &c, std::ostream *out) { *out << '"' << c.frames << '"'; }

class SegmentTable : public testing::TestWithParam<SegmentCase> {};

TEST_P(SegmentTable, MergesBridgesAndDrops) {
  const SegmentCase &c = GetParam();
  EXPECT_EQ(describe(make_segments(frames_of(c.frames), {c.min_segment, c.bridge_gap})),
            c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SegmentTable,
    testing::Values(
        SegmentCase{"NoFrames", "", 0, 0, ""},
        SegmentCase{"OnlyUnvoiced", ". . .", 0, 0, ""},
        SegmentCase{"OneRun", "en en en", 0, 0, "en 0.000-6.144"},
        SegmentCase{"SilenceSplits", "en . en", 0, 0, "en 0.000-2.048, en 4.096-6.144"},
        SegmentCase{"LanguageSplits", "en fr en", 0, 0,
                    "en 0.000-2.048, fr 2.048-4.096, en 4.096-6.144"},
        SegmentCase{"BridgeExactlyTheGap", "en . en", 0, kFrame, "en 0.000-6.144"},
        SegmentCase{"GapWiderThanBridge", "en . . en", 0, kFrame,
                    "en 0.000-2.048, en 6.144-8.192"},
        SegmentCase{"NoBridgeAcrossLanguages", "en . fr", 0, 10, "en 0.000-2.048, fr 4.096-6.144"},
        SegmentCase{"ExactlyMinimumKept", "en . fr fr", kFrame, 0, "en 0.000-2.048, fr 4.096-8.192"},
        SegmentCase{"ShortDropped", "en . fr fr", 3, 0, "fr 4.096-8.192"},
        SegmentCase{"DroppedIntruderLeavesAGap", "en en fr en en", 3, 0,
                    "en 0.000-4.096, en 6.144-10.240"},
        SegmentCase{"DroppedIntruderBridged", "en en fr en en", 3, kFrame, "en 0.000-10.240"},
        SegmentCase{"BridgedBeforeDropping", "en . en", 5, kFrame, "en 0.000-6.144"},
        SegmentCase{"ShortPiecesUnbridgedDropped", "en . en", 5, 0, ""}),
    [](const testing::TestParamInfo<SegmentCase> &info) { return info.param.name; });

TEST(Segments, MeanProbabilityWeighsFramesByTheirLength) {
  std::vector<FrameResult> frames = frames_of("en en", 0.9f);
  frames[1].scores[kEn] = 0.5f;
  frames[1].end = frames[1].start + 0.512;  // the input ended inside it
  frames[1].padded = true;
  const std::vector<Segment> segments = make_segments(frames, {});
  ASSERT_EQ(segments.size(), 1u);
  EXPECT_NEAR(segments[0].probability, (0.9 * kFrame + 0.5 * 0.512) / (kFrame + 0.512), 1e-6);
  EXPECT_NEAR(segments[0].speech_seconds, kFrame + 0.512, 1e-9);
  EXPECT_NEAR(segments[0].end, kFrame + 0.512, 1e-9);
}

TEST(Segments, BridgedSilenceIsNotSpeech) {
  const std::vector<Segment> segments = make_segments(frames_of("en . en"), {0, kFrame});
  ASSERT_EQ(segments.size(), 1u);
  EXPECT_NEAR(segments[0].speech_seconds, 2 * kFrame, 1e-9);
  EXPECT_NEAR(segments[0].probability, 0.9, 1e-6);
}

TEST(Verdict, NoVoicedFrameFindsNothing) {
  const Verdict verdict = make_verdict(frames_of(". . ."));
  EXPECT_FALSE(verdict.found);
  EXPECT_EQ(verdict.voiced_frames, 0);
  EXPECT_EQ(verdict.speech_seconds, 0.0);
}

// Two frames that lean to French lose to one that is sure of English: the
// sum of log-probabilities is not a vote of top languages.
TEST(Verdict, SummedLogProbabilitiesOutweighAVote) {
  std::vector<FrameResult> frames = frames_of("fr fr en");
  for (int f = 0; f < 2; ++f) {
    frames[f].scores.fill(0.05f / 7);
    frames[f].scores[kFr] = 0.5f;
    frames[f].scores[kEn] = 0.45f;
  }
  frames[2].scores.fill(0.01f / 7);
  frames[2].scores[kEn] = 0.98f;
  frames[2].scores[kFr] = 0.01f;
  const Verdict verdict = make_verdict(frames);
  ASSERT_TRUE(verdict.found);
  EXPECT_EQ(verdict.language, kEn);
  const double en = 2 * std::log(0.45) + std::log(0.98);
  const double fr = 2 * std::log(0.5) + std::log(0.01);
  EXPECT_NEAR(verdict.log_probability_sums[kEn], en, 1e-5);
  EXPECT_NEAR(verdict.log_probability_sums[kFr], fr, 1e-5);
}

// With one frame the softmax of log-probabilities gives back its scores.
TEST(Verdict, OneFrameGivesBackItsScores) {
  const std::vector<FrameResult> frames = frames_of("de", 0.7f);
  const Verdict verdict = make_verdict(frames);
  ASSERT_TRUE(verdict.found);
  EXPECT_EQ(verdict.language, kDe);
  double total = 0;
  for (int l = 0; l < kLanguages; ++l) {
    EXPECT_NEAR(verdict.probabilities[l], frames[0].scores[l], 1e-6) << language_name(l);
    total += verdict.probabilities[l];
  }
  EXPECT_NEAR(total, 1.0, 1e-9);
  EXPECT_NEAR(verdict.probability, 0.7, 1e-6);
}

TEST(Verdict, ZeroScoresStayFiniteAndSpeechCountsRealLength) {
  std::vector<FrameResult> frames = frames_of("en . en");
  for (FrameResult &frame : frames) {
    if (!frame.voiced) continue;
    frame.scores.fill(0.0f);
    frame.scores[kEn] = 1.0f;
  }
  frames[2].end = frames[2].start + 1.0;
  const Verdict verdict = make_verdict(frames);
  ASSERT_TRUE(verdict.found);
  EXPECT_EQ(verdict.language, kEn);
  EXPECT_EQ(verdict.voiced_frames, 2);
  EXPECT_NEAR(verdict.speech_seconds, kFrame + 1.0, 1e-9);
  for (const double p : verdict.probabilities) EXPECT_TRUE(std::isfinite(p));
  for (const double s : verdict.log_probability_sums) EXPECT_TRUE(std::isfinite(s));
  EXPECT_NEAR(verdict.probability, 1.0, 1e-12);
}

TEST(TopLanguage, FirstOfEqualsWins) {
  std::array<float, kLanguages> scores{};
  scores[kFr] = 0.4f;
  scores[kEn] = 0.4f;
  EXPECT_EQ(top_language(scores), kEn);
}

struct TextCase {
  const char *input;
  const char *expected;
};

TEST(Formats, SubtitleTimes) {
  const std::vector<std::pair<double, const char *>> cases = {
      {0.0, "00:00:00,000"},     {-1.0, "00:00:00,000"},     {0.0005, "00:00:00,001"},
      {59.9996, "00:01:00,000"}, {3661.5, "01:01:01,500"},   {2.048, "00:00:02,048"},
      {360000.0, "100:00:00,000"}};
  for (const auto &[seconds, expected] : cases) {
    EXPECT_EQ(subtitle_time(seconds, ','), expected) << seconds;
  }
  EXPECT_EQ(subtitle_time(3661.5, '.'), "01:01:01.500");
}

TEST(Formats, JsonStrings) {
  const TextCase cases[] = {
      {"plain.wav", "\"plain.wav\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"line\nbreak\ttab", "\"line\\nbreak\\ttab\""},
      {"\x01", "\"\\u0001\""},
      {"caf\xC3\xA9 \xF0\x9F\x8E\xB5", "\"caf\xC3\xA9 \xF0\x9F\x8E\xB5\""},  // kept as is
      {"\xFF", "\"\xEF\xBF\xBD\""},                                           // not UTF-8
      {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},                           // overlong
      {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},           // surrogate
      {"x\xE2\x82", "\"x\xEF\xBF\xBD\xEF\xBF\xBD\""},                         // cut short
  };
  for (const TextCase &c : cases) EXPECT_EQ(json_string(c.input), c.expected) << c.input;
}

TEST(Formats, CsvFields) {
  const TextCase cases[] = {{"plain", "plain"},
                            {"a,b", "\"a,b\""},
                            {"say \"hi\"", "\"say \"\"hi\"\"\""},
                            {"two\nlines", "\"two\nlines\""}};
  for (const TextCase &c : cases) EXPECT_EQ(csv_field(c.input), c.expected) << c.input;
}

TEST(Formats, XmlText) {
  EXPECT_EQ(xml_text("a<b>&\"c'"), "a&lt;b&gt;&amp;&quot;c&apos;");
  EXPECT_EQ(xml_text("bell\x07"), "bell\xEF\xBF\xBD");
}

std::string written(void (*write)(std::FILE *, const std::vector<Segment> &),
                    const std::vector<Segment> &segments) {
  std::FILE *file = std::tmpfile();
  write(file, segments);
  std::rewind(file);
  std::string text;
  for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
  std::fclose(file);
  return text;
}

TEST(Formats, SubtitleFiles) {
  const std::vector<Segment> segments = {{0.0, 4.096, kEn, 0.974, 4.096},
                                         {6.144, 3725.25, kFr, 0.5, 10.0}};
  EXPECT_EQ(written(write_srt, segments),
            "1\n00:00:00,000 --> 00:00:04,096\nen (0.97)\n\n"
            "2\n00:00:06,144 --> 01:02:05,250\nfr (0.50)\n\n");
  EXPECT_EQ(written(write_vtt, segments),
            "WEBVTT\n\n00:00:00.000 --> 00:00:04.096\nen (0.97)\n\n"
            "00:00:06.144 --> 01:02:05.250\nfr (0.50)\n\n");
  EXPECT_EQ(written(write_srt, {}), "");
  EXPECT_EQ(written(write_vtt, {}), "WEBVTT\n\n");
}

}  // namespace
