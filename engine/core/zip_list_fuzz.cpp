// The record of extracted archive members (KV_ZIP.INI) over arbitrary bytes:
// a lookup answers with an existing file of a sane length or with a fresh
// extraction path inside the profile's folder, and a member recorded after
// that is found by the next lookup, whatever else the record held.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

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
  Write(ini, data, size);

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
  return 0;
}
