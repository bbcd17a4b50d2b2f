#include "platform/ui/file_dialog.h"

#include <string>
#include <vector>

#include "platform/base/files.h"
#include "platform/base/paths.h"
#include "platform/ui/dialog.h"
#include "platform/ui/window.h"

namespace kv::ui {
namespace {

namespace ids = file_dialog_ids;

struct SaveFileState {
  const SaveFileRequest* request = nullptr;
  std::string folder;  // native, without a trailing "/" unless it is "/"
  std::string chosen;
};

std::string JoinPath(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

std::string Absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  return JoinPath(CurrentFolder(), path);
}

std::string ParentOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A typed name as a native path: absolute names (a "/" or a drive letter)
// stand alone, others are taken within the folder shown.
std::string TypedPath(const std::string& folder, const std::string& name) {
  bool absolute = name[0] == '/' || name[0] == '\\' || (name.size() > 1 && name[1] == ':');
  std::string path = Absolute(ResolvePath(absolute ? name : JoinPath(folder, name)));
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// "a/b/.." and "a/./b" folded, so that the folder shown stays readable.
std::string FoldDots(const std::string& path) {
  std::vector<std::string> parts;
  size_t at = 0;
  while (at <= path.size()) {
    size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(at, end - at);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    at = end + 1;
  }
  std::string folded;
  for (const auto& part : parts) folded += "/" + part;
  return folded.empty() ? "/" : folded;
}

bool MatchesType(const SaveFileRequest& request, int32_t type, const std::string& name) {
  if (request.types.empty() || type < 0 || type >= static_cast<int32_t>(request.types.size())) return true;
  for (const auto& pattern : request.types[type].patterns)
    if (WildcardMatch(pattern.c_str(), name.c_str())) return true;
  return false;
}

void ShowFolder(KvWindow dialog, SaveFileState* st) {
  SetDlgItemText(dialog, ids::kFolder, st->folder.c_str());
  ListResetContent(dialog, ids::kList);
  int32_t type = ListGetCurSel(dialog, ids::kTypes);
  std::vector<std::string> files;
  if (st->folder != "/") ListAddString(dialog, ids::kList, "../");
  for (const FileInfo& info : FindFiles(JoinPath(st->folder, "*").c_str())) {
    if (info.folder)
      ListAddString(dialog, ids::kList, (info.name + "/").c_str());
    else if (MatchesType(*st->request, type, info.name))
      files.push_back(info.name);
  }
  for (const auto& name : files) ListAddString(dialog, ids::kList, name.c_str());
}

// OK: a folder opens, a name in an existing folder ends the dialog.
void Accept(KvWindow dialog, SaveFileState* st) {
  std::string name = GetDlgItemString(dialog, ids::kName);
  if (name.empty()) return;
  std::string path = FoldDots(TypedPath(st->folder, name));
  if (FolderExists(path.c_str())) {
    st->folder = path;
    SetDlgItemText(dialog, ids::kName, "");
    ShowFolder(dialog, st);
    return;
  }
  if (name.back() == '/' || name.back() == '\\' || !FolderExists(ParentOf(path).c_str())) return;
  st->chosen = path;
  EndDialog(dialog, 1);
}

KvResult SaveFileProc(KvWindow dialog, uint32_t message, KvWParam wparam, KvLParam lparam) {
  if (message == msg::InitDialog) {
    auto* st = reinterpret_cast<SaveFileState*>(lparam);
    SetWindowUserData(dialog, lparam);
    for (const auto& type : st->request->types) ListAddString(dialog, ids::kTypes, type.description.c_str());
    if (!st->request->types.empty()) ListSetCurSel(dialog, ids::kTypes, 0);
    std::string current = st->request->current;
    size_t cut = current.find_last_of("/\\");
    SetDlgItemText(dialog, ids::kName, (cut == std::string::npos ? current : current.substr(cut + 1)).c_str());
    ShowFolder(dialog, st);
    return 1;
  }
  auto* st = reinterpret_cast<SaveFileState*>(GetWindowUserData(dialog));
  if (!st) return 0;
  if (message == msg::Close) {
    EndDialog(dialog, 0);
    return 1;
  }
  if (message != msg::Command) return 0;
  switch (static_cast<int32_t>(LowWord(wparam))) {
    case ids::kList: {
      int32_t at = ListGetCurSel(dialog, ids::kList);
      if (at >= 0) SetDlgItemText(dialog, ids::kName, ListGetString(dialog, ids::kList, at).c_str());
      return 1;
    }
    case ids::kTypes:
      ShowFolder(dialog, st);
      return 1;
    case IdOk:
      Accept(dialog, st);
      return 1;
    case IdCancel:
      EndDialog(dialog, 0);
      return 1;
    default:
      return 0;
  }
}

DialogTemplate SaveFileTemplate(const std::string& title) {
  DialogTemplate t;
  t.title = title;
  t.width = 260;
  t.height = 190;
  t.items = {
      {ids::kFolder, "STATIC", "", StyleVisible, 5, 5, 250, 10},
      {ids::kList, "LISTBOX", "", StyleVisible, 5, 18, 250, 110},
      {-1, "STATIC", "File name:", StyleVisible, 5, 133, 50, 10},
      {ids::kName, "EDIT", "", StyleVisible, 60, 131, 195, 12},
      {-1, "STATIC", "Save as type:", StyleVisible, 5, 150, 50, 10},
      {ids::kTypes, "COMBOBOX", "", StyleVisible, 60, 148, 195, 60},
      {IdOk, "BUTTON", "Save", StyleVisible | ButtonDefPush, 145, 170, 50, 14},
      {IdCancel, "BUTTON", "Cancel", StyleVisible, 205, 170, 50, 14},
  };
  return t;
}

}  // namespace

std::vector<FileType> ParseFileFilter(const std::string& filter, char separator) {
  std::vector<std::string> entries;
  size_t at = 0;
  while (at < filter.size()) {
    size_t end = filter.find(separator, at);
    if (end == std::string::npos) end = filter.size();
    if (end == at) break;  // the empty entry ends the list
    entries.push_back(filter.substr(at, end - at));
    at = end + 1;
  }
  std::vector<FileType> types;
  for (size_t i = 0; i + 1 < entries.size(); i += 2) {
    FileType type;
    type.description = entries[i];
    size_t p = 0;
    const std::string& list = entries[i + 1];
    while (p <= list.size()) {
      size_t end = list.find(';', p);
      if (end == std::string::npos) end = list.size();
      if (end > p) type.patterns.push_back(list.substr(p, end - p));
      p = end + 1;
    }
    if (!type.patterns.empty()) types.push_back(std::move(type));
  }
  return types;
}

bool GetSaveFileName(KvWindow owner, const SaveFileRequest& request, std::string* chosen) {
  if (!chosen) return false;
  SaveFileState st;
  st.request = &request;
  std::string current = request.current.empty() ? "" : Absolute(ResolvePath(request.current));
  std::string parent = ParentOf(current);
  if (!parent.empty() && FolderExists(parent.c_str()))
    st.folder = parent;
  else if (!request.folder.empty() && FolderExists(request.folder.c_str()))
    st.folder = Absolute(ResolvePath(request.folder));
  else
    st.folder = CurrentFolder();
  while (st.folder.size() > 1 && st.folder.back() == '/') st.folder.pop_back();
  st.folder = FoldDots(st.folder);
  if (DialogBoxIndirectParam(SaveFileTemplate(request.title), owner, &SaveFileProc,
                             reinterpret_cast<KvLParam>(&st)) != 1 ||
      st.chosen.empty())
    return false;
  *chosen = st.chosen;
  return true;
}

}  // namespace kv::ui
