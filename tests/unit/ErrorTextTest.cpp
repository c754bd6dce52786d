#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "ErrorText.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

std::string Bytes(const NarrowString &s) { return std::string(s.Data(), static_cast<size_t>(s.Length())); }

// The shaping of texts that no code of the platform gives.
TEST(ErrorText, ShapesGivenSystemTexts) {
  struct Case {
    const char *text; // null: the system has no text for the code
    DWORD code;
    const char *expected;
  };
  const Case cases[] = {
      {"Access is denied.\r\n", 5, "Access is denied (code 5)"},
      {"Two stops..\r\n", 1, "Two stops. (code 1)"},
      {"Stop, blank, line feed. \n", 2, "Stop, blank, line feed (code 2)"},
      {"Blank before the stop .", 3, "Blank before the stop  (code 3)"},
      {" \t\r\n\x01\x1f Leading blanks", 4, "Leading blanks (code 4)"},
      {"\xc3\xa9t\xc3\xa9 non-ASCII at both ends \xe2\x82\xac", 6,
       "\xc3\xa9t\xc3\xa9 non-ASCII at both ends \xe2\x82\xac (code 6)"},
      {"Line one.\r\nLine two.\r\n", 7, "Line one.\r\nLine two (code 7)"},
      {"\x7f", 8, "\x7f (code 8)"},
      {"!\x20", 9, "! (code 9)"},
      {" \r\n\t", 10, " (code 10)"},
      {"", 11, " (code 11)"},
      {".", 12, " (code 12)"},
      {" . ", 13, " (code 13)"},
      {nullptr, 123456, "Unknown error (code 123456)"},
      {nullptr, 0, "Unknown error (code 0)"},
      {nullptr, 0x7FFFFFFF, "Unknown error (code 2147483647)"},
      {nullptr, 0x80000000, "Unknown error (code -2147483648)"},
      {nullptr, 0x80004005, "Unknown error (code -2147467259)"},
      {"Denied.", 0x80070005, "Denied (code -2147024891)"},
      {nullptr, 0xFFFFFFFF, "Unknown error (code -1)"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.expected);
    if (c.text == nullptr) {
      EXPECT_EQ(Bytes(ShapeErrorDescription(nullptr, c.code)), c.expected);
    } else {
      NarrowString text(c.text);
      EXPECT_EQ(Bytes(ShapeErrorDescription(&text, c.code)), c.expected);
    }
  }
}

// A long text leaves the inline storage on both sides of the trimming.
TEST(ErrorText, ShapesTextsLongerThanTheInlineStorage) {
  std::string sentence(300, 'x');
  NarrowString text(("\r\n" + sentence + ".\r\n").c_str());
  EXPECT_EQ(Bytes(ShapeErrorDescription(&text, 42)), sentence + " (code 42)");
}

void SetLastErrorCode(DWORD code) {
#ifdef _WIN32
  SetLastError(code);
#else
  errno = static_cast<int>(code);
#endif
}

// The platform's own texts: FormatMessageW under Wine, glibc's table natively.
TEST(ErrorText, DescribesTheLastErrorWithTheSystemText) {
  struct Case {
    DWORD code;
    const char *expected;
  };
  const Case cases[] = {
#ifdef _WIN32
      {5, "Access denied (code 5)"},
      {0, "Success (code 0)"},
      // The text holds an insert sequence, which must come through as it is.
      {193, "Bad EXE format for %1 (code 193)"},
      {317, "Message 0x%1 not found in file %2 (code 317)"},
      {123456, "Unknown error (code 123456)"},
      {0x80004005, "Call failed (code -2147467259)"},
      {0x80070005, "Access denied (code -2147024891)"},
      {0xFFFFFFFF, "Unknown error (code -1)"},
#else
      {EACCES, "Permission denied (code 13)"},
      {ENOENT, "No such file or directory (code 2)"},
      {123456, "Unknown error (code 123456)"},
      {0xFFFFFFFF, "Unknown error (code -1)"},
#endif
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.expected);
    SetLastErrorCode(c.code);
    EXPECT_EQ(Bytes(DescribeLastError()), c.expected);
    EXPECT_EQ(Bytes(DescribeError(c.code)), c.expected);
  }
}

#ifdef _WIN32
// Wine's own services: PlugPlay runs in every prefix, Spooler waits to be
// started. A query that fails leaves the zeroed record.
TEST(ErrorText, QueriesTheStateOfAService) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(manager, nullptr);
  struct Case {
    const wchar_t *name;
    DWORD state;
  };
  const Case cases[] = {{L"PlugPlay", SERVICE_RUNNING}, {L"Spooler", SERVICE_STOPPED}};
  for (const Case &c : cases) {
    SC_HANDLE service = OpenServiceW(manager, c.name, SERVICE_ALL_ACCESS);
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(QueryServiceState(service), c.state);
    CloseServiceHandle(service);
  }
  EXPECT_EQ(QueryServiceState(nullptr), 0u);
  CloseServiceHandle(manager);
}
#endif

} // namespace
