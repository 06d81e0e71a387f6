// Test launcher: starts programs with exact command lines, which wine's argv cannot carry.
// Usage: launch APPLICATION COMMAND_LINE   (each as UTF-16 code units in hex; exits with the
//                                           program's exit status)
//        launch @LIST                      (one "APPLICATION COMMAND_LINE" pair a line, run in
//                                           turn; prints each exit status)
#include <windows.h>

#include <fstream>
#include <iostream>
#include <string>

namespace {

constexpr int kStartAttempts = 3;

bool FromHex(const std::string& digits, std::wstring* text) {
  if (digits.size() % 4 != 0) return false;
  for (size_t i = 0; i < digits.size(); i += 4) {
    text->push_back(static_cast<wchar_t>(std::stoul(digits.substr(i, 4), nullptr, 16)));
  }
  return true;
}

// The program's exit status, or 121 when it could not be started.
DWORD Run(const std::string& applicationHex, const std::string& commandLineHex) {
  std::wstring application, commandLine;
  if (!FromHex(applicationHex, &application) || !FromHex(commandLineHex, &commandLine)) {
    return 120;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process = {};
  // Wine 8's 64-bit loader now and then fails to start a process before any of its code runs
  // ("failed to map the shared user data"); a program that cannot start fails every attempt.
  bool started = false;
  for (int attempt = 0; attempt < kStartAttempts && !started; ++attempt) {
    started = CreateProcessW(application.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0,
                             nullptr, nullptr, &startup, &process) != FALSE;
  }
  if (!started) {
    std::cerr << "launch: CreateProcessW failed " << kStartAttempts << " times, last with error "
              << GetLastError() << "\n";
    return 121;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 122;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3) return static_cast<int>(Run(argv[1], argv[2]));
  if (argc != 2 || argv[1][0] != '@') return 120;
  std::ifstream list(argv[1] + 1);
  std::string application, commandLine;
  while (list >> application >> commandLine) std::cout << Run(application, commandLine) << "\n";
  return 0;
}
