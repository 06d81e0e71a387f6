// Test tool: prints what the platform's profile reader sees in each file named, in hex, so that
// the native and the Windows results can be compared by the reader that counts.
// Usage: inidump FILE... | inidump @LIST (one Windows path a line)
#include <windows.h>

#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

// Never a value: the reader returns it only when the key is missing.
const char kMissing[] = "\x01missing\x01";

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return hex;
}

// A double-NUL-terminated list from a profile call, grown until it fits.
template <typename Read>
std::vector<std::string> ReadList(Read read) {
  for (DWORD size = 4096;; size *= 2) {
    std::vector<char> buffer(size);
    DWORD got = read(buffer.data(), size);
    if (got + 2 >= size && size < (1u << 26)) continue;
    std::vector<std::string> items;
    for (const char* item = buffer.data(); *item != 0; item += items.back().size() + 1) {
      items.emplace_back(item);
    }
    return items;
  }
}

void Dump(const std::string& file) {
  std::cout << "file " << Hex(file) << "\n";
  std::vector<std::string> sections = ReadList([&](char* buffer, DWORD size) {
    return GetPrivateProfileSectionNamesA(buffer, size, file.c_str());
  });
  for (const std::string& section : sections) {
    std::cout << "section " << Hex(section) << "\n";
    for (const std::string& entry : ReadList([&](char* buffer, DWORD size) {
           return GetPrivateProfileSectionA(section.c_str(), buffer, size, file.c_str());
         })) {
      std::cout << "entry " << Hex(entry) << "\n";
    }
  }
  std::vector<char> value(1 << 16);
  GetPrivateProfileStringA("tovrin", "mdb", kMissing, value.data(), value.size(), file.c_str());
  std::string marker = value.data();
  std::cout << "marker " << (marker == kMissing ? "none" : Hex(marker)) << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '@') {
      Dump(argv[i]);
      continue;
    }
    std::ifstream list(argv[i] + 1);
    for (std::string file; std::getline(list, file);) Dump(file);
  }
  return 0;
}
