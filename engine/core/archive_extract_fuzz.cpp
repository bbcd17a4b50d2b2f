// Compressed logs over arbitrary bytes: the input is written as the log,
// recognised, and extracted as a gzip file (through zlib) or a ZIP archive
// (through the unzip module of the program folder) into the profile's
// extraction folder. Every listed file exists inside that folder; a gzip
// log is listed only when its whole stream was read, and then holds exactly
// what the stream decodes to; a failed gzip extraction leaves no partial
// file behind.
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "engine/core/engine_state.h"
#include "engine/core/gzip_extract.h"
#include "engine/core/log_file_list.h"
#include "engine/core/log_source.h"
#include "engine/core/zip_extract.h"
#include "platform/base/paths.h"
#include "platform/module/module.h"
#include "platform/ui/msgbox.h"

namespace {

constexpr const char* kProfile = "0000F023.wlp";
std::string g_folder;

void CleanUp() {
  std::error_code ignored;
  std::filesystem::remove_all(g_folder, ignored);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What a gzip stream decodes to, independently of the extraction: true with
// *out when the input is one or more whole gzip members and nothing else.
bool Inflate(const uint8_t* data, size_t size, std::string* out) {
  out->clear();
  size_t used = 0;
  while (used < size) {
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return false;
    z.next_in = const_cast<Bytef*>(data + used);
    z.avail_in = static_cast<uInt>(size - used);
    int code = Z_OK;
    char buffer[16384];
    while (code == Z_OK) {
      z.next_out = reinterpret_cast<Bytef*>(buffer);
      z.avail_out = sizeof buffer;
      code = inflate(&z, Z_NO_FLUSH);
      out->append(buffer, sizeof buffer - z.avail_out);
      if (code == Z_BUF_ERROR && z.avail_in == 0) break;
    }
    used = size - z.avail_in;
    inflateEnd(&z);
    if (code != Z_STREAM_END) return false;
  }
  return size > 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The unzip module comes from the program folder: the built one beside
  // this fuzzer's folder unless told otherwise.
  if (std::getenv("KV_PROGRAM_DIR") == nullptr) {
    const std::string bin = kv::ProgramFolder() + "../bin";
    setenv("KV_PROGRAM_DIR", bin.c_str(), 1);
  }
  char pattern[] = "/tmp/kvextractfuzzXXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  g_folder = pattern;
  std::atexit(CleanUp);
  vrn::SetApplicationPath(g_folder + "/engine.so");
  kv::ui::SetMessageBoxHandler([](const kv::ui::MessageBoxInfo&) { return 0; });
  // Held for the whole run: the fuzzer's coverage counters of a module must
  // not go away between runs when each extraction loads and frees it.
  if (KvLoadModule("DUNZIP32.DLL") == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A few kilobytes decode to a few megabytes at most.
  if (size > 8192) return 0;
  const std::string zipFolder = vrn::TempZipFolder(kProfile, false);
  std::error_code ignored;
  std::filesystem::remove_all(zipFolder, ignored);  // nothing extracted before
  const std::string archive = g_folder + "/access.log.gz";
  {
    std::ofstream out(archive, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const uint16_t kind = vrn::ClassifyLogArchive(archive.c_str());
  vrn::LogNameEntry** list = nullptr;
  uint16_t count = 0;
  if (kind == vrn::kArchiveGzip) {
    list = vrn::ExtractGzipLog(kProfile, 0, archive.c_str(), nullptr, &count);
    std::string expected;
    const bool whole = Inflate(data, size, &expected);
    if (count > 1) std::abort();
    if (count == 1 && whole) {
      const std::string path = list[0]->name + std::strlen(vrn::kExtractedLogMarker);
      if (ReadAll(path) != expected) std::abort();
    }
    if (count == 0) {
      // No partial output is left where a later listing could take it.
      for (const auto& entry : std::filesystem::directory_iterator(zipFolder, ignored)) {
        const std::string name = entry.path().filename().string();
        if (name != "KV_ZIP.INI") std::abort();
      }
    }
  } else if (kind == vrn::kArchiveZip) {
    list = vrn::ExtractZipLog(kProfile, 0, archive.c_str(), nullptr, &count);
  }
  for (uint16_t i = 0; i < count; ++i) {
    const char* name = list[i]->name;
    const size_t marker = std::strlen(vrn::kExtractedLogMarker);
    if (std::strncmp(name, vrn::kExtractedLogMarker, marker) != 0) std::abort();
    const std::string path = name + marker;
    if (path.compare(0, zipFolder.size(), zipFolder) != 0 || !std::filesystem::is_regular_file(path)) std::abort();
  }
  vrn::FreeLogFileList(list, count);
  return 0;
}
