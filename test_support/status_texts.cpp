#include "test_support/status_texts.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <mutex>
#include <utility>

namespace corvalind::testing {

namespace {

std::mutex gMutex;
std::vector<std::string> gTexts;

void Record(std::string_view text) {
  std::lock_guard<std::mutex> guard(gMutex);
  gTexts.emplace_back(text);
}

}  // namespace

StatusRecorder::StatusRecorder() {
  Take();
  previous_ = SetStatusTextHandler(&Record);
}

StatusRecorder::~StatusRecorder() { SetStatusTextHandler(previous_); }

std::vector<std::string> StatusRecorder::Take() {
  std::lock_guard<std::mutex> guard(gMutex);
  return std::exchange(gTexts, {});
}

std::filesystem::path FreshTestFolder(const std::string& prefix) {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() /
      (prefix + "-" + std::to_string(getpid()) + "-" + (test ? test->name() : "outside"));
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  return folder;
}

}  // namespace corvalind::testing
