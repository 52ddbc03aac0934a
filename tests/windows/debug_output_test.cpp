// The Windows debug output: without a test sink, lines go to OutputDebugStringA.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "platform/debug_output.h"

namespace ostrel::platform {
namespace {

// OutputDebugStringA raises DBG_PRINTEXCEPTION_C before it looks for a debugger; a vectored
// handler sees that first and lets the search go on, so the output behaves as without it.
std::vector<std::string>* captured_lines = nullptr;

LONG CALLBACK CaptureDebugString(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2 &&
      captured_lines != nullptr) {
    const auto* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
    const auto length = static_cast<size_t>(record->ExceptionInformation[0]);
    // The length counts the terminating NUL.
    captured_lines->emplace_back(text, length > 0 ? length - 1 : 0);
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

class WindowsDebugOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    captured_lines = &lines_;
    handler_ = AddVectoredExceptionHandler(1, CaptureDebugString);
    ASSERT_NE(handler_, nullptr);
  }
  void TearDown() override {
    RemoveVectoredExceptionHandler(handler_);
    captured_lines = nullptr;
    SetDebugSinkForTesting({});
  }

  std::vector<std::string> lines_;
  void* handler_ = nullptr;
};

TEST_F(WindowsDebugOutput, LineGoesToOutputDebugStringAsWritten) {
  WriteDebugLine("Ostrel_Initialize");
  WriteDebugLine("100% %s %n");  // never read as a format
  EXPECT_EQ(lines_, (std::vector<std::string>{"Ostrel_Initialize", "100% %s %n"}));
}

TEST_F(WindowsDebugOutput, TestSinkTakesLinesInsteadOfTheSystem) {
  std::vector<std::string> sunk;
  SetDebugSinkForTesting([&sunk](const char* line) { sunk.emplace_back(line); });
  WriteDebugLine("Ostrel_Finalize");
  SetDebugSinkForTesting({});
  WriteDebugLine("Ostrel_OpenTvWall");
  EXPECT_EQ(sunk, (std::vector<std::string>{"Ostrel_Finalize"}));
  EXPECT_EQ(lines_, (std::vector<std::string>{"Ostrel_OpenTvWall"}));
}

}  // namespace
}  // namespace ostrel::platform
