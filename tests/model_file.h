// A model file written to the test temporary folder for the life of a test.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "model_writer.h"
#include "test_support.h"

namespace qx_test {

class ModelFile {
 public:
  // The process id keeps test programs that run at once apart.
  explicit ModelFile(const qx_tools::ModelDescription &model)
      : path_(::testing::TempDir() + "qx_model_" + std::to_string(process_id()) +
              "_" + std::to_string(counter_++) + ".qx") {
    EXPECT_TRUE(qx_tools::write_file(path_, qx_tools::encode(model)));
  }
  ~ModelFile() { std::remove(path_.c_str()); }
  ModelFile(const ModelFile &) = delete;
  ModelFile &operator=(const ModelFile &) = delete;
  const char *path() const { return path_.c_str(); }

 private:
  static inline int counter_ = 0;
  std::string path_;
};

}  // namespace qx_test
