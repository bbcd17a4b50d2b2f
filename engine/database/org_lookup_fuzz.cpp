// Random bytes as an organisation file and as an intranet list: the record
// parser, the name capitalisation, the binary search and the list reader
// must neither crash nor read or write out of bounds.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/database/analysis_context.h"
#include "engine/database/org_lookup.h"
#include "platform/base/files.h"

namespace {

std::string ScratchPath() {
  static std::string path = [] {
    char pattern[] = "/tmp/orgfuzzXXXXXX";
    const int fd = mkstemp(pattern);
    if (fd >= 0) close(fd);
    return std::string(pattern);
  }();
  return path;
}

void FreeIntranet(vrn::AnalysisContext* context) {
  for (uint16_t i = 0; i < context->intranetCount; ++i) {
    vrn::IntranetEntry* entry = context->intranet[i];
    for (char* text : entry->texts) std::free(text);
    std::free(entry->parts);
    std::free(entry);
  }
  std::free(context->intranet);
  context->intranet = nullptr;
  context->intranetCount = 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  // One record straight from the bytes.
  vrn::OrganizationRecord record;
  uint16_t consumed = 0;
  if (vrn::ParseOrganizationRecord(bytes.data(), static_cast<uint32_t>(bytes.size()), &record, &consumed) == 1) {
    if (consumed > bytes.size()) std::abort();
    if (std::memchr(record.line, 0, sizeof record.line) == nullptr) std::abort();
    (void)vrn::OrganizationName(&record);
  }
  std::vector<char> text(bytes.begin(), bytes.end());
  text.push_back(0);
  vrn::CapitalizeName(text.data());
  text.resize(text.size() + 8, 0);
  vrn::SpaceAfterCommas(text.data(), text.size());

  // The bytes as the organisation file (searched for its first word) and as
  // the intranet list.
  const std::string path = ScratchPath();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  vrn::AnalysisContext context{};
  context.orgFile = kv::FileOpen(path.c_str(), kv::kFileRead, kv::FileDisposition::kOpenExisting);
  if (context.orgFile != KV_INVALID_FILE) {
    std::string wanted;
    for (char c : bytes) {
      const char plain = static_cast<char>(vrn::UnscrambleOrgByte(static_cast<unsigned char>(c)));
      if (plain == ',' || plain == '\n' || plain == '\r' || plain == 0 || wanted.size() > 40) break;
      wanted.push_back(plain);
    }
    if (wanted.empty()) wanted = "a";
    // Probes read from the file and from its image in memory answer alike.
    const uint32_t size = static_cast<uint32_t>(bytes.size());
    for (const char* domain : {wanted.c_str(), "zzzz"}) {
      context.orgImage = nullptr;
      vrn::OrganizationRecord fromFile{};
      const int foundInFile = vrn::FindOrganization(&context, size, 0, domain, &fromFile);
      context.orgImage = vrn::LoadOrganizationImage(context.orgFile, size);
      context.orgFileSize = size;
      vrn::OrganizationRecord fromImage{};
      const int foundInImage = vrn::FindOrganization(&context, size, 0, domain, &fromImage);
      if (context.orgImage != nullptr &&
          (foundInFile != foundInImage || (foundInFile == 1 && std::memcmp(&fromFile, &fromImage, sizeof fromFile) != 0))) {
        __builtin_trap();
      }
      std::free(context.orgImage);
      context.orgImage = nullptr;
      vrn::FreeOrganizationMemo(context.orgMemo);
      context.orgMemo = nullptr;
    }
    kv::FileClose(context.orgFile);
    context.orgFile = KV_INVALID_FILE;
  }
  vrn::LoadIntranetList(&context, path.c_str());
  FreeIntranet(&context);
  return 0;
}
