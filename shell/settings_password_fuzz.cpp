// KELVARON.INI over arbitrary bytes: the scrambled passwords are read back
// as the program reads them. A password read is a text without a zero byte
// that fits the block; one short enough to be stored again is stored, and
// then reads back the same while the user name beside it stays as it was.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "shell/settings_file.h"
#include "shell/settings_scramble.h"

namespace {

std::string g_folder;

void CleanUp() {
  std::remove((g_folder + "KELVARON.INI").c_str());
  rmdir(g_folder.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/kvpassfuzzXXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  g_folder = std::string(pattern) + "/";
  StoreProgramPath((g_folder + "KELVARON").c_str());
  std::atexit(CleanUp);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (GetBaseIniPath() != g_folder + "KELVARON.INI") std::abort();
  FILE* f = std::fopen(GetBaseIniPath(), "wb");
  if (f == nullptr) std::abort();
  if (size != 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);

  for (const SettingKey* key : {&settings::kPassword, &settings::kMapiPassword}) {
    const std::string password = ReadScrambledSetting(*key);
    if (password.size() > kScrambleBlockSize - kScrambleOffset || password.find('\0') != std::string::npos)
      std::abort();
    if (password.size() > kMaxScrambledPassword) continue;
    const std::string user = ReadSetting(settings::kUsername);
    if (!WriteScrambledSetting(*key, password)) continue;  // the file may refuse a write
    if (ReadScrambledSetting(*key) != password) std::abort();
    if (ReadSetting(settings::kUsername) != user) std::abort();
  }
  return 0;
}
