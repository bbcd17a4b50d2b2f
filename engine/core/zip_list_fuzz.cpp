// The record of extracted archive members (KV_ZIP.INI) over arbitrary bytes:
// a lookup answers with an existing file of a sane length or with a fresh
// extraction path inside the profile's folder, and a member recorded after
// that is found by the next lookup, whatever else the record held.
// In the input, "@ZIP@" stands for the archive's path and "@DIR@" for the
// extraction folder, and the archive always has the same size and time, so
// that a record written by a real run can name them and match.
#include <stdlib.h>
#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

#include "engine/core/engine_state.h"
#include "engine/core/log_file_list.h"
#include "engine/core/zip_extract.h"
#include "platform/base/files.h"

namespace {

constexpr const char* kProfile = "0000F022.wlp";

const std::string& Folder() {
  static const std::string folder = [] {
    char pattern[] = "/tmp/kvziplistfuzzXXXXXX";
    if (mkdtemp(pattern) == nullptr) abort();
    const std::string f = pattern;
    vrn::SetApplicationPath(f + "/engine.so");
    return f;
  }();
  return folder;
}

void Write(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) abort();
  if (size != 0 && std::fwrite(data, 1, size, f) != size) abort();
  std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string archive = Folder() + "/month.zip";
  Write(archive, reinterpret_cast<const uint8_t*>("PK"), 2);
  const std::string zipFolder = vrn::TempZipFolder(kProfile, true);
  if (zipFolder.empty() || zipFolder.compare(0, Folder().size(), Folder()) != 0) abort();
  const std::string ini = zipFolder + "KV_ZIP.INI";
  const timeval stamp[2] = {{1796988080, 0}, {1796988080, 0}};
  if (utimes(archive.c_str(), stamp) != 0) abort();
  // A member an earlier run extracted.
  Write(zipFolder + "UNZIP1.LOG", reinterpret_cast<const uint8_t*>("x"), 1);
  std::string text(reinterpret_cast<const char*>(data), size);
  for (const auto& [name, value] : {std::pair<std::string, std::string>{"@ZIP@", archive}, {"@DIR@", zipFolder}}) {
    for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + value.size()))
      text.replace(at, name.size(), value);
  }
  Write(ini, reinterpret_cast<const uint8_t*>(text.data()), text.size());

  const char* members[] = {"a.log", "", "sub/b.log"};
  for (uint32_t i = 0; i < 3; ++i) {
    std::string path;
    if (vrn::LookUpUnzipList(kProfile, archive.c_str(), members[i], &path, i)) {
      kv::FileInfo info;
      if (path.empty() || path.size() >= vrn::kLogNameWidth || !kv::GetFileInfo(path.c_str(), &info) || info.folder)
        abort();
      continue;
    }
    if (path.compare(0, zipFolder.size(), zipFolder) != 0) abort();
    Write(path, reinterpret_cast<const uint8_t*>("x"), 1);
    if (!vrn::RecordUnzippedMember(kProfile, archive.c_str(), members[i], path, i)) continue;
    std::string again;
    if (!vrn::LookUpUnzipList(kProfile, archive.c_str(), members[i], &again, i) || again != path) abort();
    std::remove(path.c_str());
  }
  std::remove(ini.c_str());
  std::remove((zipFolder + "UNZIP1.LOG").c_str());
  return 0;
}
