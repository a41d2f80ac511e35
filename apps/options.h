// The command line of qx-orb: what it accepts and the help that documents it.
#pragma once

#include <string>
#include <vector>

#include "report.h"
#include "segments.h"

// Exit statuses; with several inputs the most severe one wins, in the order
// usage/input, engine, incomplete, no speech.
enum ExitStatus {
  kExitSpeech = 0,      // every input read; speech found in at least one
  kExitUsage = 1,       // bad option, model or device, or an input that cannot be read
  kExitNoSpeech = 2,    // every input read; none held speech
  kExitIncomplete = 3,  // an input ended early or was damaged; results cover what was decoded
  kExitEngine = 4,      // the engine failed on a frame
};

struct Options {
  std::string model;         // empty: the default (see default_model_path)
  std::string device = "best";
  float threshold = 0.5f;
  OutputFormat format = OutputFormat::kText;
  SegmentOptions segments;
  std::string srt, vtt, plot;  // side files; "{}" stands for the input's name
  bool quiet = false;
  bool verbose = false;
  bool timing = false;
  bool list_devices = false;
  bool help = false;
  bool version = false;
  std::vector<std::string> inputs;
};

// False with a message in *error for anything it cannot accept.
bool parse_options(int argc, char **argv, Options *options, std::string *error);

// $QX_ORB_MODEL, else the installed model beside the program, else the
// source tree's (set at build time). `origin` says which.
std::string default_model_path(std::string *origin);

// The side file of `input` for a template given to --srt, --vtt or --plot.
std::string side_file_name(const std::string &pattern, const std::string &input);

std::string help_text();
