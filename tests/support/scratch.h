// Scratch directories for unit tests: each test gets a fresh installation
// directory and temporary directory, and the service's paths point at them.
#pragma once
#include <gtest/gtest.h>
#include <ctime>
#include <string>
#include <vector>

std::string Scratch_MakeDir(const char* tag);
std::string Scratch_ReadFile(const std::string& path);
void Scratch_WriteFile(const std::string& path, const std::string& text);
// The UTC time of a calendar date and time (the tests run in UTC).
time_t Scratch_UtcTime(int year, int month, int day, int hour, int minute, int second);
// The settings in force as config.ini would hold them (the writer's sections).
std::string Scratch_SettingsText();
// The text's lines, without their line ends.
std::vector<std::string> Scratch_Lines(const std::string& text);
// Waits (at most 10 s) until every script the service started beside the
// loop has ended and been reaped.
void Scratch_WaitScripts();

class ScratchTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // Also reaps the scripts a test left running.
  void TearDown() override;
  std::string dir;      // installation directory
  std::string tmp;      // stands in for /tmp
  std::string Path(const std::string& rel) const { return dir + "/" + rel; }
  std::string TmpPath(const std::string& rel) const { return tmp + "/" + rel; }
};
