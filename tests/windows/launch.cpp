// Test launcher: starts a program with an exact command line, which wine's argv cannot carry.
// Usage: launch <application path> <command line>, each as UTF-16 code units in hex.
#include <windows.h>

#include <string>

namespace {

bool FromHex(const wchar_t* hex, std::wstring* text) {
  std::wstring digits(hex);
  if (digits.size() % 4 != 0) return false;
  for (size_t i = 0; i < digits.size(); i += 4) {
    text->push_back(static_cast<wchar_t>(std::stoul(digits.substr(i, 4), nullptr, 16)));
  }
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring application, commandLine;
  if (argc != 3 || !FromHex(argv[1], &application) || !FromHex(argv[2], &commandLine)) return 120;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(application.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                      nullptr, &startup, &process)) {
    return 121;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 122;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(exitCode);
}
